#include "launcher/korvel_online_bootstrap.h"

#include <cstdio>
#include <string_view>

#include "launcher/launcher_application.h"
#include "launcher/preparation_module.h"
#include "policy/bootstrap_policy.h"

namespace korvel {

void KorvelOnlineBootstrap::main(int argc, char** argv) {
    for (int i = 0; i < argc; ++i) {
        if (argv[i] != nullptr && std::string_view(argv[i]) == "--check-config") {
            std::fputs(("Korvel online bootstrap: " + BootstrapPolicy::manifestURL + "\n").c_str(), stdout);
            return;
        }
    }
    runLauncherApplication(argc > 0 ? argv[0] : nullptr, [](const StatusOperation& status) {
        return prepareWithModule(preparationModuleBesideExecutable(), status);
    });
}

} // namespace korvel
