#include "transport/signature_check.h"

#include <string>
#include <vector>

#include <sys/wait.h>

#include "base/ed25519.h"
#include "base/process.h"
#include "policy/bootstrap_error.h"
#include "transport/build_trust.h"
#include "transport/bundle_signature.h"

namespace korvel {

namespace {

constexpr const char* signatureMessage =
    "The downloaded Mac game failed its application signature check. Installation was not changed.";

} // namespace

void verifyDownloadedApp(const std::filesystem::path& app) {
#if defined(__APPLE__)
    verifyAppSignature(buildTrust::codesignTool, app, buildTrust::codesignRequirement);
#else
    // The verdict is all the caller gets, as from codesign's exit status; the reasons are
    // korvel-codesign's to print for the release engineer.
    try {
        verifyBundle(app, buildTrust::signingPublicKeyPem);
    } catch (const BootstrapError&) {
        throw BootstrapError::invalid(signatureMessage);
    } catch (const std::filesystem::filesystem_error&) {
        throw BootstrapError::invalid(signatureMessage);
    } catch (const CryptoError&) {
        throw BootstrapError::invalid(signatureMessage);
    }
#endif
}

void verifyAppSignature(const std::filesystem::path& tool, const std::filesystem::path& app) {
    verifyAppSignature(tool, app, {});
}

void verifyAppSignature(const std::filesystem::path& tool, const std::filesystem::path& app,
                        std::string_view requirement) {
    std::vector<std::string> arguments = {"--verify", "--deep", "--strict"};
    if (!requirement.empty()) {
        arguments.push_back("-R=" + std::string(requirement));
    }
    // The bundle path is handed over as one argument, whatever blanks or quotes it holds.
    arguments.push_back(app.string());
    const pid_t child = startProcess(tool, arguments);
    const int status = waitForExit(child);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw BootstrapError::invalid(signatureMessage);
    }
}

} // namespace korvel
