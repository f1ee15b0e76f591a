#include "installer/online_installer.h"

#include <exception>
#include <optional>
#include <system_error>

#include <fcntl.h>
#include <sys/file.h>

#include "base/process.h"
#include "base/scope_exit.h"
#include "base/unique_fd.h"
#include "base/uuid.h"
#include "installer/file_guards.h"
#include "installer/housekeeping.h"
#include "policy/bootstrap_error.h"
#include "policy/bootstrap_policy.h"

namespace korvel {

namespace {

namespace fs = std::filesystem;

// Holds the exclusive update lock of the install root for its lifetime. The lock belongs to
// the open descriptor, so a launcher that dies releases it with its descriptors; the file
// itself is never written or removed and its presence means nothing. The descriptor is not
// close-on-exec and every child started while the lock is held inherits it, so the signature
// tool started during verification shares the lock until it exits, even if the launcher dies
// meanwhile; the installer waits for that tool, so the lock still ends with prepare(). The
// game, started after prepare(), never holds it.
class UpdateLock {
public:
    explicit UpdateLock(const fs::path& path)
        : fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW, 0600)) {
        if (!fd) {
            throw BootstrapError::invalid("Cannot open the launcher update lock.");
        }
        // A second launcher gives up at once instead of queueing behind an update it cannot see.
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            fd.reset();
            throw BootstrapError::invalid("Another Korvel launcher is updating. Wait for it to finish.");
        }
        sharedWithChildren.emplace(fd.get());
    }
    UpdateLock(const UpdateLock&) = delete;
    UpdateLock& operator=(const UpdateLock&) = delete;
    ~UpdateLock() { ::flock(fd.get(), LOCK_UN); }  // fd closes after the unlock

private:
    UniqueFd fd;
    std::optional<InheritedByChildren> sharedWithChildren;  // goes before fd closes
};

} // namespace

OnlineInstaller::OnlineInstaller(std::filesystem::path root, DownloadOperation download, SignatureCheck verifySignature,
                                 StatusOperation status, InstallerOptions options)
    // The guards compare text, so the root must be standardized as every path they check is.
    : root(standardizedPath(root)),
      download(std::move(download)),
      verifySignature(std::move(verifySignature)),
      status(status ? std::move(status) : [](const std::string&, double) {}),
      options(std::move(options)) {}

PreparedClient OnlineInstaller::prepare() {
    directory(root);
    const fs::path lockPath = root / "update.lock";
    noSymlinks(lockPath);
    const UpdateLock lock(lockPath);
    if (options.removeStaleStaging) {
        // No other launcher can be using them while the lock is held.
        removeStaleStaging(root);
    }

    // Declared after the lock so that it goes first: the staged manifest is removed while the
    // lock is still held. The download may never have created it.
    const fs::path stagedManifest = root / (".manifest-" + randomUuid() + ".json");
    const ScopeExit removeStagedManifest([&stagedManifest] {
        std::error_code ignored;
        fs::remove_all(stagedManifest, ignored);
    });

    status("Checking for game updates…", 0.0);
    try {
        download(BootstrapPolicy::manifestURL, stagedManifest, BootstrapPolicy::manifestLimit, [](std::int64_t) {});
        const std::string data = boundedData(stagedManifest);
        if (!options.manifestTrust.publicKeysPem.empty()) {
            authenticate(data);
        }
        return {install(BootstrapPolicy::parse(data), data), false};
    } catch (...) {
        // Whatever failed, of whatever type (the injected operations may throw anything), the
        // player's game is the one an earlier run selected, if it still verifies. If it does
        // not, the player learns why the update failed, not why the old release is gone.
        const std::exception_ptr updateError = std::current_exception();
        fs::path executable;
        try {
            executable = previous();
        } catch (...) {
            std::rethrow_exception(updateError);
        }
        status("Update unavailable. Starting the verified installed game…", 1.0);
        return {executable, true};
    }
}

} // namespace korvel
