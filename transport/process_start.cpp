#include "transport/process_start.h"

#include <csignal>

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include "installer/posix_file.h"
#include "installer/scope_exit.h"

namespace korvel {

namespace {

std::vector<char*> nullTerminated(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    pointers.reserve(texts.size() + 1);
    for (std::string& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

pid_t startProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                   const std::vector<std::string>* environment) {
    const auto require = [&program](int error) {
        if (error != 0) {
            throwSystemError(error, "posix_spawn", program);
        }
    };
    posix_spawn_file_actions_t actions;
    require(::posix_spawn_file_actions_init(&actions));
    const ScopeExit destroyActions([&actions] { ::posix_spawn_file_actions_destroy(&actions); });
    posix_spawnattr_t attributes;
    require(::posix_spawnattr_init(&attributes));
    const ScopeExit destroyAttributes([&attributes] { ::posix_spawnattr_destroy(&attributes); });

    sigset_t all;
    sigset_t none;
    sigfillset(&all);
    sigemptyset(&none);
    require(::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0));
    require(::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0));
    require(::posix_spawnattr_setsigdefault(&attributes, &all));
    require(::posix_spawnattr_setsigmask(&attributes, &none));
    require(::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK));

    std::vector<std::string> argvTexts{program.string()};
    argvTexts.insert(argvTexts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv = nullTerminated(argvTexts);
    std::vector<std::string> environmentTexts;
    std::vector<char*> envp;
    if (environment != nullptr) {
        environmentTexts = *environment;
        envp = nullTerminated(environmentTexts);
    }

    pid_t child = -1;
    // glibc's posix_spawn reports a failed exec as its result, so a program that cannot run
    // fails here rather than as a child that exits with 127.
    require(::posix_spawn(&child, argvTexts.front().c_str(), &actions, &attributes, argv.data(),
                          environment != nullptr ? envp.data() : environmentBlock()));
    return child;
}

} // namespace korvel
