#pragma once

#include <filesystem>
#include <utility>

namespace korvel {

// Throws std::filesystem::filesystem_error carrying the errno value and the path.
// Callers capture errno right after the failing call, before anything else can change it.
[[noreturn]] void throwSystemError(int error, const char* operation, const std::filesystem::path& path);

// The process's environment block ("NAME=value" entries, null-terminated), as a child started
// with posix_spawn inherits it. macOS offers no `environ` to shared code, hence the function.
char** environmentBlock();

// Owns one POSIX file descriptor; closes it on destruction, ignoring the result, because
// every caller that cares about close() calls release() and closes explicitly.
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

} // namespace korvel
