#include "tools/command_line.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "base/posix_io.h"

namespace korvel {

std::string versionLine(const char* program) { return std::string(program) + " " + KORVEL_VERSION; }

void writeStandardOutput(std::string_view text) {
    std::fflush(stdout);  // whatever the C stream holds goes first
    writeAll(STDOUT_FILENO, text, "standard output");
}

int finishedWithOutput(const char* program, int status) {
    const bool flushed = std::fflush(stdout) == 0;
    const int error = errno;
    if (flushed && std::ferror(stdout) == 0) {
        return status;
    }
    // A write that failed earlier left only the error indicator; its errno may be gone.
    std::fprintf(stderr, "%s: writing to standard output failed%s%s\n", program, flushed ? "" : ": ",
                 flushed ? "" : std::strerror(error));
    return status == 0 ? 1 : status;
}

} // namespace korvel
