#include "launcher/installer_preparation.h"

#include "launcher/install_root.h"
#include "transport/bounded_download.h"
#include "transport/signature_check.h"

#if defined(KORVEL_DEMO_TRANSPORT)
#include "launcher/demo_transport.h"
#endif

namespace korvel {
namespace {

DownloadOperation launcherDownload() {
#if defined(KORVEL_DEMO_TRANSPORT)
    return [options = demoTransportOptions(KORVEL_DEMO_CA_FILE, KORVEL_DEMO_CONNECT_ADDRESS)](
               const std::string& url, const std::filesystem::path& destination, std::int64_t limit,
               const Progress& progress) {
        BoundedDownload download(destination, limit, progress, options);
        download.fetch(url);
    };
#else
    return downloadFile;
#endif
}

} // namespace
} // namespace korvel

extern "C" __attribute__((visibility("default"))) void korvelPrepareInstalledClient(
    const korvel::StatusOperation* status, korvel::PreparedClient* client) {
    korvel::OnlineInstaller installer(korvel::installRoot(), korvel::launcherDownload(), korvel::verifyDownloadedApp,
                                      *status);
    *client = installer.prepare();
}
