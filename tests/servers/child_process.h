#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <unistd.h>

#include "base/process.h"

namespace korvel::test {

// A child process started with startProcess, its program looked up in PATH when the name holds
// no slash. By default it writes into the test's own output streams. The destructor kills
// (SIGKILL) and reaps it, so no test leaves a server running.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& command,
                          ProcessOptions options = {.standardOutput = STDOUT_FILENO, .standardError = STDERR_FILENO});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool exited();  // never blocks; reaps the child once it has ended
    int wait();     // the raw wait status

private:
    pid_t pid_ = -1;
    bool reaped = false;
    int status = 0;
};

struct ChildResult {
    int exitStatus = -1;  // 128 + the signal for a child a signal ended; -1 when it was killed after the timeout
    std::string output;
    std::string errors;
};

// Runs command to its end with environment (the test's own when null), capturing both streams.
ChildResult runChild(const std::vector<std::string>& command, const std::vector<std::string>* environment = nullptr,
                     std::chrono::seconds timeout = std::chrono::minutes(2));

} // namespace korvel::test
