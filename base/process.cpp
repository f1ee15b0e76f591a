#include "base/process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <system_error>

#include <dirent.h>
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

#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
#define KORVEL_SPAWN_CLOSEFROM 1
#endif

// The descriptors InheritedByChildren names, ascending. Held while a child is being started,
// so that none is closed (and its number reused) in between.
struct InheritedDescriptors {
    std::mutex mutex;
    std::vector<int> fds;
};

InheritedDescriptors& inheritedDescriptors() {
    static InheritedDescriptors registry;
    return registry;
}

#if !defined(KORVEL_SPAWN_CLOSEFROM) && !defined(__APPLE__)
// Where posix_spawn cannot close descriptors by itself: every open descriptor above the
// standard streams, as /dev/fd lists them, becomes close-on-exec unless kept. One opened by
// another thread after the listing may still reach the child; nothing better is portable.
void closeOnExecExcept(const std::vector<int>& kept, const std::filesystem::path& program) {
    DIR* const listing = ::opendir("/dev/fd");
    if (listing == nullptr) {
        throwSystemError(errno, "posix_spawn", program);
    }
    const ScopeExit closeListing([listing] { ::closedir(listing); });
    while (const dirent* entry = ::readdir(listing)) {
        const int fd = std::atoi(entry->d_name);
        if (fd > STDERR_FILENO && !std::binary_search(kept.begin(), kept.end(), fd)) {
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);  // also marks the listing's own descriptor, which is harmless
        }
    }
}
#endif

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

    // A descriptor the child keeps under its own number.
    const auto keep = [&](int fd) {
#if defined(__APPLE__)
        require(::posix_spawn_file_actions_addinherit_np(&actions, fd));
#else
        static_cast<void>(fd);
#endif
    };
    const auto redirect = [&](int source, int stream) {
        if (source == ProcessOptions::nullDevice) {
            require(::posix_spawn_file_actions_addopen(&actions, stream, "/dev/null", O_WRONLY, 0));
        } else if (source != stream) {
            require(::posix_spawn_file_actions_adddup2(&actions, source, stream));
        } else {
            keep(stream);
        }
    };
    keep(STDIN_FILENO);
    redirect(options.standardOutput, STDOUT_FILENO);
    redirect(options.standardError, STDERR_FILENO);

    // Whatever else is open here (descriptors the launcher's own parent left open, ones a
    // library opened without close-on-exec) stays out of the child: a game or a tool must not
    // hold the launcher's files, sockets or locks.
    InheritedDescriptors& inherited = inheritedDescriptors();
    const std::lock_guard inheritedUnchanged(inherited.mutex);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
#if defined(KORVEL_SPAWN_CLOSEFROM)
    // Ascending, each to a number no higher than its own, so no copy overwrites one still to come.
    int next = STDERR_FILENO + 1;
    for (const int fd : inherited.fds) {
        require(::posix_spawn_file_actions_adddup2(&actions, fd, next++));
    }
    require(::posix_spawn_file_actions_addclosefrom_np(&actions, next));
#elif defined(__APPLE__)
    for (const int fd : inherited.fds) {
        keep(fd);
    }
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#else
    closeOnExecExcept(inherited.fds, program);
#endif
    sigset_t all;
    sigset_t none;
    sigfillset(&all);
    sigemptyset(&none);
    require(::posix_spawnattr_setsigdefault(&attributes, &all));
    require(::posix_spawnattr_setsigmask(&attributes, &none));
    require(::posix_spawnattr_setflags(&attributes, flags));

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

InheritedByChildren::InheritedByChildren(int fd) : fd(fd) {
    InheritedDescriptors& inherited = inheritedDescriptors();
    const std::lock_guard changing(inherited.mutex);
    inherited.fds.insert(std::upper_bound(inherited.fds.begin(), inherited.fds.end(), fd), fd);
}

InheritedByChildren::~InheritedByChildren() {
    InheritedDescriptors& inherited = inheritedDescriptors();
    const std::lock_guard changing(inherited.mutex);
    inherited.fds.erase(std::find(inherited.fds.begin(), inherited.fds.end(), fd));
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
