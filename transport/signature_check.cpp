#include "transport/signature_check.h"

#include <sys/wait.h>

#include "base/process.h"
#include "policy/bootstrap_error.h"

namespace korvel {

namespace {

constexpr const char* signatureMessage =
    "The downloaded Mac game failed its application signature check. Installation was not changed.";

} // namespace

void verifyDownloadedApp(const std::filesystem::path& app) {
    verifyAppSignature(KORVEL_CODESIGN_TOOL, app);
}

void verifyAppSignature(const std::filesystem::path& tool, const std::filesystem::path& app) {
    // The bundle path is handed over as one argument, whatever blanks or quotes it holds.
    const pid_t child = startProcess(tool, {"--verify", "--deep", "--strict", app.string()});
    const int status = waitForExit(child);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw BootstrapError::invalid(signatureMessage);
    }
}

} // namespace korvel
