#pragma once

#include <filesystem>
#include <utility>

#include <sys/types.h>

namespace korvel {

// Owns one POSIX file descriptor; closes it on destruction, ignoring the result, because
// every caller that cares about close() calls closeChecked() or syncAndClose().
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// open(2) with O_CLOEXEC added; a failure throws std::filesystem::filesystem_error with its
// errno and the path.
UniqueFd openFile(const std::filesystem::path& path, int flags, mode_t mode = 0);

// Closes fd and reports what close(2) reports: a delayed write error (NFS, quota) means the
// data did not make it, so such a file must not be used. path only names the file in errors.
void closeChecked(UniqueFd fd, const std::filesystem::path& path);

// Flushes what fd's file or directory holds (data, size, mode, entries) to stable storage and
// answers 0, or the errno of the failure. Every flush that a later rename relies on goes
// through here, because on macOS fsync(2) only hands the data to the drive, which may keep it
// in its cache and write it out in any order, so the rename could reach the disk first;
// F_FULLFSYNC also empties the drive's cache. Where a file system does not support
// F_FULLFSYNC, fsync is the best there is.
int flushToStableStorage(int fd);

// Flushes the file (or directory) to stable storage, then closes it; the close is not
// attempted when the flush failed.
void syncAndClose(UniqueFd fd, const std::filesystem::path& path);

} // namespace korvel
