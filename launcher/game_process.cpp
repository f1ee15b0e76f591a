#include "launcher/game_process.h"

#include <string_view>

#include "installer/posix_file.h"
#include "transport/process_start.h"

namespace korvel {

std::vector<std::string> processEnvironment() {
    std::vector<std::string> entries;
    for (char** entry = environmentBlock(); entry != nullptr && *entry != nullptr; ++entry) {
        entries.emplace_back(*entry);
    }
    return entries;
}

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
    return startProcess(executable, {}, &environment);
}

} // namespace korvel
