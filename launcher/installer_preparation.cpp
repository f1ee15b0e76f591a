#include "launcher/installer_preparation.h"

#include "launcher/install_root.h"
#include "transport/signature_check.h"

namespace korvel {

PreparedClient prepareInstalledClient(const TransportOptions& transport, const StatusOperation& status) {
    const auto download = [&transport](const std::string& url, const std::filesystem::path& destination,
                                       std::int64_t limit, const Progress& progress) {
        BoundedDownload transfer(destination, limit, progress, transport);
        transfer.fetch(url);
    };
    OnlineInstaller installer(installRoot(), download, verifyDownloadedApp, status);
    return installer.prepare();
}

} // namespace korvel
