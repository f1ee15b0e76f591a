#include "installer/posix_io.h"

#include <cerrno>

#include <unistd.h>

#include "installer/posix_file.h"

namespace korvel {

std::size_t readSome(int fd, void* buffer, std::size_t size, const std::filesystem::path& path) {
    for (;;) {
        const ssize_t count = ::read(fd, buffer, size);
        if (count >= 0) {
            return static_cast<std::size_t>(count);
        }
        if (errno != EINTR) {
            throwSystemError(errno, "read", path);
        }
    }
}

void writeAll(int fd, std::string_view bytes, const std::filesystem::path& path) {
    while (!bytes.empty()) {
        const ssize_t count = ::write(fd, bytes.data(), bytes.size());
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            throwSystemError(errno, "write", path);
        }
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
}

} // namespace korvel
