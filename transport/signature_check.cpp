#include "transport/signature_check.h"

#include <cerrno>
#include <csignal>
#include <string>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "installer/posix_file.h"
#include "policy/bootstrap_error.h"

namespace korvel {

namespace {

constexpr const char* signatureMessage =
    "The downloaded Mac game failed its application signature check. Installation was not changed.";

class SpawnFileActions {
public:
    SpawnFileActions() { check(::posix_spawn_file_actions_init(&actions_)); }
    ~SpawnFileActions() { ::posix_spawn_file_actions_destroy(&actions_); }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;

    void openNullDevice(int fd) {
        check(::posix_spawn_file_actions_addopen(&actions_, fd, "/dev/null", O_WRONLY, 0));
    }
    const posix_spawn_file_actions_t* get() const { return &actions_; }

private:
    static void check(int error) {
        if (error != 0) {
            throwSystemError(error, "posix_spawn_file_actions", "/dev/null");
        }
    }
    posix_spawn_file_actions_t actions_{};
};

class SpawnAttributes {
public:
    SpawnAttributes() { check(::posix_spawnattr_init(&attributes_)); }
    ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;

    // Whatever the launcher (or a library inside it) ignores or blocks must not change how the
    // tool runs: it starts with every signal at its default and none blocked.
    void resetSignals() {
        sigset_t all;
        sigset_t none;
        sigfillset(&all);
        sigemptyset(&none);
        check(::posix_spawnattr_setsigdefault(&attributes_, &all));
        check(::posix_spawnattr_setsigmask(&attributes_, &none));
        check(::posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK));
    }
    const posix_spawnattr_t* get() const { return &attributes_; }

private:
    static void check(int error) {
        if (error != 0) {
            throw std::system_error(error, std::generic_category(), "posix_spawnattr");
        }
    }
    posix_spawnattr_t attributes_{};
};

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
    SpawnFileActions actions;
    actions.openNullDevice(STDOUT_FILENO);
    actions.openNullDevice(STDERR_FILENO);
    SpawnAttributes attributes;
    attributes.resetSignals();

    std::string toolArgument = tool.string();
    std::string verify = "--verify";
    std::string deep = "--deep";
    std::string strict = "--strict";
    std::string appArgument = app.string();
    char* const argv[] = {toolArgument.data(), verify.data(), deep.data(), strict.data(), appArgument.data(),
                          nullptr};

    // Started directly, never through a shell, so the bundle path arrives as one argument
    // whatever blanks or quotes it holds.
    pid_t child = 0;
    if (const int error = ::posix_spawn(&child, tool.c_str(), actions.get(), attributes.get(), argv, environmentBlock());
        error != 0) {
        throwSystemError(error, "posix_spawn", tool);
    }
    const int status = waitForExit(child);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw BootstrapError::invalid(signatureMessage);
    }
}

} // namespace korvel
