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

void syncAndClose(UniqueFd fd, const std::filesystem::path& path) {
    if (::fsync(fd.get()) != 0) {
        throwSystemError(errno, "fsync", path);
    }
    closeChecked(std::move(fd), path);
}

} // namespace korvel
