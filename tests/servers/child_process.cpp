#include "tests/servers/child_process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/eventually.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace korvel::testing {

namespace {

std::vector<char*> pointers(const std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (const std::string& text : strings) {
        result.push_back(const_cast<char*>(text.c_str()));
    }
    result.push_back(nullptr);
    return result;
}

} // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, bool captureOutput)
    : ChildProcess(argv, {.captureOutput = captureOutput}) {}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const ChildOptions& options) {
    int pipeEnds[2] = {-1, -1};
    if (options.captureOutput && ::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe2");
    }
    output_ = UniqueFd(pipeEnds[0]);
    const UniqueFd writeEnd(pipeEnds[1]);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (writeEnd) {
        ::posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
    } else if (!options.outputFile.empty()) {
        ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, options.outputFile.c_str(),
                                           O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    if (!options.errorFile.empty()) {
        ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, options.errorFile.c_str(),
                                           O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    const std::vector<char*> arguments = pointers(argv);
    const std::vector<std::string> environment = options.environment.value_or(std::vector<std::string>{});
    const std::vector<char*> variables = pointers(environment);
    const int error = ::posix_spawnp(&pid_, arguments.at(0), &actions, nullptr, arguments.data(),
                                     options.environment ? variables.data() : environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        throw std::system_error(error, std::generic_category(), "posix_spawnp " + argv.at(0));
    }
}

ChildProcess::~ChildProcess() {
    if (!reaped_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

std::string ChildProcess::readLine() {
    std::string line;
    for (char c = 0; ::read(output_.get(), &c, 1) == 1;) {
        if (c == '\n') {
            return line;
        }
        line.push_back(c);
    }
    throw std::runtime_error("child process ended its output before a full line");
}

bool ChildProcess::exited() {
    if (!reaped_ && ::waitpid(pid_, &status_, WNOHANG) == pid_) {
        reaped_ = true;
    }
    return reaped_;
}

int ChildProcess::wait() {
    if (!reaped_ && ::waitpid(pid_, &status_, 0) != pid_) {
        throw std::system_error(errno, std::generic_category(), "waitpid");
    }
    reaped_ = true;
    return status_;
}

ChildResult runChild(const std::vector<std::string>& argv, const std::optional<std::vector<std::string>>& environment,
                     std::chrono::seconds timeout) {
    const TempDir streams;
    ChildProcess child(argv, {.outputFile = streams / "output", .errorFile = streams / "errors", .environment = environment});
    ChildResult result;
    if (!eventually([&] { return child.exited(); }, timeout)) {
        ::kill(child.pid(), SIGKILL);
        result.timedOut = true;
    }
    const int status = child.wait();
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.output = readFile(streams / "output");
    result.errors = readFile(streams / "errors");
    return result;
}

void runToSuccess(const std::vector<std::string>& argv) {
    if (const ChildResult result = runChild(argv); result.exitStatus != 0) {
        throw std::runtime_error(argv.at(0) + " failed with status " + std::to_string(result.exitStatus) + ":\n" +
                                 result.errors);
    }
}

std::vector<std::string> environmentWith(const std::vector<std::string>& set, const std::vector<std::string>& unset) {
    const auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> names = unset;
    for (const std::string& entry : set) {
        names.push_back(nameOf(entry));
    }
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::find(names.begin(), names.end(), nameOf(*entry)) == names.end()) {
            environment.emplace_back(*entry);
        }
    }
    environment.insert(environment.end(), set.begin(), set.end());
    return environment;
}

} // namespace korvel::testing
