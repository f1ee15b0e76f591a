#include "launcher/game_process.h"

#include <string_view>

#include "base/process.h"

namespace korvel {

std::vector<std::string> gameEnvironment(const std::vector<std::string>& launcherEnvironment) {
    constexpr std::string_view launcherPrefix = "KORVEL_";
    std::vector<std::string> kept;
    for (const std::string& entry : launcherEnvironment) {
        const std::string_view name = std::string_view(entry).substr(0, entry.find('='));
        if (!name.starts_with(launcherPrefix)) {
            kept.push_back(entry);
        }
    }
    return kept;
}

pid_t startGame(const std::filesystem::path& executable, const std::vector<std::string>& environment) {
    return startProcess(executable, {}, {.environment = &environment});
}

} // namespace korvel
