#include "launcher/korvel_online_bootstrap.h"

#include <cstdio>
#include <string_view>

#include "launcher/installer_preparation.h"
#include "launcher/launcher_application.h"
#include "launcher/manifest_public_keys.h"
#include "policy/bootstrap_policy.h"

namespace korvel {

namespace {

// A release build compiles in no transport options. Demo and end-to-end builds compile this
// file with KORVEL_DEMO_CA_FILE and KORVEL_DEMO_CONNECT_ADDRESS, so that their launcher
// trusts their own CA and reaches both hosts on loopback; nothing is read at run time.
TransportOptions launcherTransport() {
#if defined(KORVEL_DEMO_CA_FILE) && defined(KORVEL_DEMO_CONNECT_ADDRESS)
    return loopbackTransportOptions(KORVEL_DEMO_CA_FILE, KORVEL_DEMO_CONNECT_ADDRESS);
#else
    return {};
#endif
}

InstallerOptions launcherOptions() {
    InstallerOptions options;
    options.reuseUnchangedFiles = KORVEL_REUSE_UNCHANGED_FILES;
    options.removeStaleStaging = KORVEL_REMOVE_STALE_STAGING;
    options.pruneOlderReleases = KORVEL_PRUNE_OLDER_RELEASES;
    options.repairDamagedRelease = KORVEL_REPAIR_DAMAGED_RELEASE;
    options.manifestTrust.publicKeysPem = manifestPublicKeys;
    return options;
}

} // namespace

void KorvelOnlineBootstrap::main(int argc, char** argv) {
    for (int i = 0; i < argc; ++i) {
        if (argv[i] != nullptr && std::string_view(argv[i]) == "--check-config") {
            std::fputs(("Korvel online bootstrap: " + BootstrapPolicy::manifestURL + "\n").c_str(), stdout);
            return;
        }
    }
    runLauncherApplication(argc > 0 ? argv[0] : nullptr,
                           [transport = launcherTransport(), options = launcherOptions()](const StatusOperation& status) {
                               return prepareInstalledClient(transport, options, status);
                           });
}

} // namespace korvel
