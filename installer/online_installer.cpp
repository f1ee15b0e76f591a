#include "installer/online_installer.h"

#include "policy/bootstrap_error.h"

namespace korvel {

OnlineInstaller::OnlineInstaller(std::filesystem::path root, DownloadOperation download, SignatureCheck verifySignature,
                                 StatusOperation status)
    : root(std::move(root).lexically_normal()),
      download(std::move(download)),
      verifySignature(std::move(verifySignature)),
      status(status ? std::move(status) : [](const std::string&, double) {}) {
    // lexically_normal keeps a trailing separator ("/u/Client/" stays so); the guards
    // compare text, so the root must have none.
    if (this->root.has_relative_path() && !this->root.has_filename()) {
        this->root = this->root.parent_path();
    }
}

PreparedClient OnlineInstaller::prepare() {
    throw BootstrapError::invalid("not yet built");
}

} // namespace korvel
