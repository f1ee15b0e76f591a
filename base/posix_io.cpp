#include "base/posix_io.h"

#include <cerrno>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/system_error.h"
#include "base/unique_fd.h"

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

void copyToEnd(int from, int to, const std::filesystem::path& fromPath, const std::filesystem::path& toPath) {
    std::vector<char> buffer(1 << 20);
    while (const std::size_t count = readSome(from, buffer.data(), buffer.size(), fromPath)) {
        writeAll(to, std::string_view(buffer.data(), count), toPath);
    }
}

std::optional<std::string> readRegularFile(const std::filesystem::path& path, std::int64_t limit) {
    const UniqueFd fd = openFile(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) {
        throwSystemError(errno, "fstat", path);
    }
    if (!S_ISREG(status.st_mode) || status.st_size > limit) {
        return std::nullopt;
    }
    std::string bytes;
    char chunk[16384];
    while (const std::size_t count = readSome(fd.get(), chunk, sizeof chunk, path)) {
        if (static_cast<std::int64_t>(bytes.size() + count) > limit) {
            return std::nullopt;
        }
        bytes.append(chunk, count);
    }
    return bytes;
}

} // namespace korvel
