#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

namespace korvel::testing {

// A child process started directly (argv[0] searched in PATH, no shell), with standard input
// from /dev/null. With captureOutput its standard output is a pipe that readLine() reads;
// otherwise output and error are inherited. The destructor kills the child (SIGKILL) and reaps
// it, so no test leaves a server running.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& argv, bool captureOutput = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    // One line of the child's standard output without its line feed; throws at end of output.
    std::string readLine();

    // Whether the child has exited (it is reaped then). Never blocks.
    bool exited();

    // Waits for the child's end and answers its raw wait status.
    int wait();

private:
    pid_t pid_ = -1;
    int output_ = -1;
    bool reaped_ = false;
    int status_ = 0;
};

// Runs argv to its end with output and error sent to errorLog (appended); throws
// std::runtime_error naming the command and quoting the log unless it exits with status 0.
void runToSuccess(const std::vector<std::string>& argv, const std::string& errorLog);

} // namespace korvel::testing
