#include "installer/posix_file.h"

#include <system_error>

#include <unistd.h>
#if defined(__APPLE__)
#include <crt_externs.h>
#else
extern char** environ;
#endif

namespace korvel {

void throwSystemError(int error, const char* operation, const std::filesystem::path& path) {
    throw std::filesystem::filesystem_error(operation, path, std::error_code(error, std::generic_category()));
}

char** environmentBlock() {
#if defined(__APPLE__)
    return *::_NSGetEnviron();
#else
    return environ;
#endif
}

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
}

} // namespace korvel
