#include "tests/servers/child_process.h"

#include <cerrno>
#include <csignal>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace korvel::testing {

namespace {

void check(int error, const char* what) {
    if (error != 0) {
        throw std::system_error(error, std::generic_category(), what);
    }
}

std::vector<char*> argumentVector(const std::vector<std::string>& argv) {
    std::vector<char*> result;
    for (const std::string& argument : argv) {
        result.push_back(const_cast<char*>(argument.c_str()));
    }
    result.push_back(nullptr);
    return result;
}

pid_t spawn(const std::vector<std::string>& argv, posix_spawn_file_actions_t* actions) {
    pid_t pid = -1;
    std::vector<char*> arguments = argumentVector(argv);
    const int error = ::posix_spawnp(&pid, argv.at(0).c_str(), actions, nullptr, arguments.data(), environ);
    ::posix_spawn_file_actions_destroy(actions);
    check(error, argv.at(0).c_str());
    return pid;
}

int waitStatus(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "waitpid");
        }
    }
    return status;
}

} // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, bool captureOutput) {
    int pipeEnds[2] = {-1, -1};
    if (captureOutput && ::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe2");
    }
    posix_spawn_file_actions_t actions;
    check(::posix_spawn_file_actions_init(&actions), "posix_spawn_file_actions_init");
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (captureOutput) {
        ::posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    }
    try {
        pid_ = spawn(argv, &actions);
    } catch (...) {
        if (captureOutput) {
            ::close(pipeEnds[0]);
            ::close(pipeEnds[1]);
        }
        throw;
    }
    if (captureOutput) {
        ::close(pipeEnds[1]);
        output_ = pipeEnds[0];
    }
}

ChildProcess::~ChildProcess() {
    if (!reaped_) {
        ::kill(pid_, SIGKILL);
        waitStatus(pid_);
    }
    if (output_ >= 0) {
        ::close(output_);
    }
}

std::string ChildProcess::readLine() {
    std::string line;
    char c = 0;
    for (;;) {
        const ssize_t count = ::read(output_, &c, 1);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            throw std::runtime_error("child process ended its output before a full line");
        }
        if (c == '\n') {
            return line;
        }
        line.push_back(c);
    }
}

bool ChildProcess::exited() {
    if (!reaped_ && ::waitpid(pid_, &status_, WNOHANG) == pid_) {
        reaped_ = true;
    }
    return reaped_;
}

int ChildProcess::wait() {
    if (!reaped_) {
        status_ = waitStatus(pid_);
        reaped_ = true;
    }
    return status_;
}

void runToSuccess(const std::vector<std::string>& argv, const std::string& errorLog) {
    posix_spawn_file_actions_t actions;
    check(::posix_spawn_file_actions_init(&actions), "posix_spawn_file_actions_init");
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, errorLog.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                       0600);
    ::posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    const int status = waitStatus(spawn(argv, &actions));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::ifstream log(errorLog);
        std::string command;
        for (const std::string& argument : argv) {
            command += argument + " ";
        }
        throw std::runtime_error("failed: " + command + "\n" +
                                 std::string(std::istreambuf_iterator<char>(log), std::istreambuf_iterator<char>()));
    }
}

} // namespace korvel::testing
