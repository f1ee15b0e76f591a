#include "launcher/game_process.h"

#include <csignal>
#include <string_view>

#include <fcntl.h>
#include <spawn.h>

#include "installer/posix_file.h"
#include "installer/scope_exit.h"

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
    posix_spawn_file_actions_t actions;
    if (const int error = posix_spawn_file_actions_init(&actions); error != 0) {
        throwSystemError(error, "posix_spawn", executable);
    }
    ScopeExit destroyActions([&actions] { posix_spawn_file_actions_destroy(&actions); });
    posix_spawnattr_t attributes;
    if (const int error = posix_spawnattr_init(&attributes); error != 0) {
        throwSystemError(error, "posix_spawn", executable);
    }
    ScopeExit destroyAttributes([&attributes] { posix_spawnattr_destroy(&attributes); });

    // The launcher's threads may block signals or ignore some (Qt, libcurl); the game must
    // not inherit either.
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    for (const int error : {posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0),
                            posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0),
                            posix_spawnattr_setsigmask(&attributes, &none),
                            posix_spawnattr_setsigdefault(&attributes, &all),
                            posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF)}) {
        if (error != 0) {
            throwSystemError(error, "posix_spawn", executable);
        }
    }

    std::string program = executable.string();
    std::vector<std::string> entries = environment;
    std::vector<char*> envp;
    envp.reserve(entries.size() + 1);
    for (std::string& entry : entries) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    char* argv[] = {program.data(), nullptr};

    pid_t child = -1;
    // glibc's posix_spawn reports a failed exec as its result, so a game that cannot run
    // fails here rather than as a child that exits with 127.
    if (const int error = posix_spawn(&child, program.c_str(), &actions, &attributes, argv, envp.data());
        error != 0) {
        throwSystemError(error, "posix_spawn", executable);
    }
    return child;
}

} // namespace korvel
