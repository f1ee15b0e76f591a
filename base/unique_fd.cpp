#include "base/unique_fd.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

#include "base/system_error.h"

namespace korvel {

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
}

UniqueFd openFile(const std::filesystem::path& path, int flags, mode_t mode) {
    UniqueFd fd(::open(path.c_str(), flags | O_CLOEXEC, mode));
    if (!fd) {
        throwSystemError(errno, "open", path);
    }
    return fd;
}

void closeChecked(UniqueFd fd, const std::filesystem::path& path) {
    if (::close(fd.release()) != 0) {
        throwSystemError(errno, "close", path);
    }
}

int flushToStableStorage(int fd) {
#if defined(__APPLE__)
    if (::fcntl(fd, F_FULLFSYNC) == 0) {
        return 0;
    }
    // File systems without the request (network and FAT volumes, for example) refuse it, and
    // fsync is the best they offer; any other failure is the flush's own.
    if (const int error = errno; error != ENOTSUP && error != EINVAL) {
        return error;
    }
#endif
    return ::fsync(fd) == 0 ? 0 : errno;
}

void syncAndClose(UniqueFd fd, const std::filesystem::path& path) {
    if (const int error = flushToStableStorage(fd.get()); error != 0) {
        throwSystemError(error, "fsync", path);
    }
    closeChecked(std::move(fd), path);
}

} // namespace korvel
