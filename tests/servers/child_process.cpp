#include "tests/servers/child_process.h"

#include <csignal>
#include <system_error>

#include <fcntl.h>
#include <sys/wait.h>

#include "base/unique_fd.h"
#include "tests/support/eventually.h"
#include "tests/support/temp_dir.h"

namespace korvel::test {

ChildProcess::ChildProcess(const std::vector<std::string>& command, ProcessOptions options) {
    options.searchPath = true;
    pid_ = startProcess(command.at(0), {command.begin() + 1, command.end()}, options);
}

ChildProcess::~ChildProcess() {
    if (!reaped) {
        ::kill(pid_, SIGKILL);
        waitForExit(pid_);
    }
}

bool ChildProcess::exited() {
    reaped = reaped || ::waitpid(pid_, &status, WNOHANG) == pid_;
    return reaped;
}

int ChildProcess::wait() {
    if (!reaped) {
        status = waitForExit(pid_);
        reaped = true;
    }
    return status;
}

ChildResult runChild(const std::vector<std::string>& command, const std::vector<std::string>* environment,
                     std::chrono::seconds timeout) {
    const TempDir streams;
    ChildResult result;
    {
        const UniqueFd output = openFile(streams / "output", O_WRONLY | O_CREAT, 0600);
        const UniqueFd errors = openFile(streams / "errors", O_WRONLY | O_CREAT, 0600);
        ChildProcess child(command, {.environment = environment,
                                     .standardOutput = output.get(),
                                     .standardError = errors.get()});
        if (eventually([&] { return child.exited(); }, timeout)) {
            const int status = child.wait();
            result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
    }  // kills a child that outlived the timeout
    result.output = readFile(streams / "output");
    result.errors = readFile(streams / "errors");
    return result;
}

} // namespace korvel::test
