#include "launcher/installer_preparation.h"

#include "installer/housekeeping.h"
#include "launcher/install_root.h"
#include "transport/resumable_download.h"
#include "transport/signature_check.h"

namespace korvel {

namespace {

DownloadOperation launcherDownload(const std::filesystem::path& root, const TransportOptions& transport) {
#if KORVEL_RESUMABLE_DOWNLOADS
    return resumableDownload(root / partialDownloadsName, transport);
#else
    static_cast<void>(root);
    return [transport](const std::string& url, const std::filesystem::path& destination, std::int64_t limit,
                       const Progress& progress) {
        BoundedDownload download(destination, limit, progress, transport);
        download.fetch(url);
    };
#endif
}

} // namespace

PreparedClient prepareInstalledClient(const TransportOptions& transport, const InstallerOptions& options,
                                      const StatusOperation& status) {
    const std::filesystem::path root = installRoot();
    OnlineInstaller installer(root, launcherDownload(root, transport), verifyDownloadedApp, status, options);
    return installer.prepare();
}

} // namespace korvel
