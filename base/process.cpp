#include "base/process.h"

#include <cerrno>
#include <csignal>
#include <system_error>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/scope_exit.h"
#include "base/system_error.h"

#if defined(__APPLE__)
#include <crt_externs.h>
#else
extern char** environ;
#endif

namespace korvel {

namespace {

// macOS offers no `environ` to shared code, hence the function.
char** environmentBlock() {
#if defined(__APPLE__)
    return *::_NSGetEnviron();
#else
    return environ;
#endif
}

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

std::vector<std::string> processEnvironment() {
    std::vector<std::string> entries;
    for (char** entry = environmentBlock(); entry != nullptr && *entry != nullptr; ++entry) {
        entries.emplace_back(*entry);
    }
    return entries;
}

pid_t startProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                   const ProcessOptions& options) {
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

    const auto redirect = [&](int source, int stream) {
        if (source == ProcessOptions::nullDevice) {
            require(::posix_spawn_file_actions_addopen(&actions, stream, "/dev/null", O_WRONLY, 0));
        } else if (source != stream) {
            require(::posix_spawn_file_actions_adddup2(&actions, source, stream));
        }
    };
    redirect(options.standardOutput, STDOUT_FILENO);
    redirect(options.standardError, STDERR_FILENO);
    sigset_t all;
    sigset_t none;
    sigfillset(&all);
    sigemptyset(&none);
    require(::posix_spawnattr_setsigdefault(&attributes, &all));
    require(::posix_spawnattr_setsigmask(&attributes, &none));
    require(::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK));

    std::vector<std::string> argvTexts{program.string()};
    argvTexts.insert(argvTexts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv = nullTerminated(argvTexts);
    std::vector<std::string> environmentTexts;
    std::vector<char*> envp;
    if (options.environment != nullptr) {
        environmentTexts = *options.environment;
        envp = nullTerminated(environmentTexts);
    }

    pid_t child = -1;
    const auto spawn = options.searchPath ? ::posix_spawnp : ::posix_spawn;
    // glibc's posix_spawn reports a failed exec as its result, so a program that cannot run
    // fails here rather than as a child that exits with 127.
    require(spawn(&child, argvTexts.front().c_str(), &actions, &attributes, argv.data(),
                  options.environment != nullptr ? envp.data() : environmentBlock()));
    return child;
}

int waitForExit(pid_t child) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "waitpid");
        }
    }
    return status;
}

} // namespace korvel
