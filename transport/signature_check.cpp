#include "transport/signature_check.h"

#include <cerrno>
#include <system_error>

#include <sys/wait.h>

#include "policy/bootstrap_error.h"
#include "transport/process_start.h"

namespace korvel {

namespace {

constexpr const char* signatureMessage =
    "The downloaded Mac game failed its application signature check. Installation was not changed.";

int waitForExit(pid_t child) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "waitpid");
        }
    }
    return status;
}

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
