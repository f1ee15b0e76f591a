#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "base/unique_fd.h"

namespace korvel::testing {

// Where a child's streams go and what environment it gets. Standard input is always /dev/null.
// (Every member has an initializer, so designated initializers may name only some.)
struct ChildOptions {
    bool captureOutput = false;         // standard output into a pipe that readLine() reads
    std::filesystem::path outputFile{}; // or, when given, into this file; otherwise the test's own
    std::filesystem::path errorFile{};  // standard error into this file when given; otherwise the test's own
    std::optional<std::vector<std::string>> environment{};  // replaces the test's whole environment
};

// A child process started directly (argv[0] searched in PATH when it holds no slash; no shell).
// A failed start throws std::system_error. The destructor kills (SIGKILL) and reaps the child, so
// no test leaves a server running.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& argv, bool captureOutput = false);
    ChildProcess(const std::vector<std::string>& argv, const ChildOptions& options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    // One line of the child's standard output without its line feed; throws at end of output.
    std::string readLine();

    // Whether the child has ended (it is reaped then). Never blocks.
    bool exited();

    // Waits for the child's end and answers its raw wait status.
    int wait();

private:
    pid_t pid_ = -1;
    UniqueFd output_;
    bool reaped_ = false;
    int status_ = 0;
};

struct ChildResult {
    int exitStatus = -1;    // the exit status, or 128 + the signal that ended the child
    bool timedOut = false;  // the child outlived the timeout and was killed
    std::string output;
    std::string errors;
};

// Runs argv to its end, killing it after timeout, with the given environment or the test's own.
ChildResult runChild(const std::vector<std::string>& argv,
                     const std::optional<std::vector<std::string>>& environment = std::nullopt,
                     std::chrono::seconds timeout = std::chrono::seconds(120));

// Runs argv to its end; throws std::runtime_error quoting its error output unless it exits with 0.
void runToSuccess(const std::vector<std::string>& argv);

// The test's own environment without the variables named in unset, with set's "NAME=value"
// entries in place of their namesakes.
std::vector<std::string> environmentWith(const std::vector<std::string>& set,
                                         const std::vector<std::string>& unset = {});

} // namespace korvel::testing
