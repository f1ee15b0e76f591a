#include "tools/tool_files.h"

#include <cerrno>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "installer/posix_file.h"
#include "installer/posix_io.h"
#include "installer/scope_exit.h"
#include "installer/uuid.h"
#include "policy/bootstrap_error.h"

namespace korvel {

namespace fs = std::filesystem;

namespace {

void syncAndClose(UniqueFd fd, const fs::path& path) {
    if (::fsync(fd.get()) != 0) {
        throwSystemError(errno, "fsync", path);
    }
    if (::close(fd.release()) != 0) {
        throwSystemError(errno, "close", path);
    }
}

UniqueFd openOrThrow(const fs::path& path, int flags, mode_t mode = 0) {
    UniqueFd fd(::open(path.c_str(), flags | O_CLOEXEC, mode));
    if (!fd) {
        throwSystemError(errno, "open", path);
    }
    return fd;
}

// The one durable replacement: fill writes the content into a fresh file beside target.
void replaceDurably(const fs::path& target, const std::function<void(int fd, const fs::path&)>& fill,
                    const CopyCheck& check = {}) {
    const fs::path temporary = target.parent_path() / (std::string(temporaryPrefix) + randomUuid());
    UniqueFd fd = openOrThrow(temporary, O_WRONLY | O_CREAT | O_EXCL, 0644);
    bool renamed = false;
    const ScopeExit removeTemporary([&] {
        if (!renamed) {
            ::unlink(temporary.c_str());
        }
    });
    if (::fchmod(fd.get(), 0644) != 0) {  // the umask must not make a published file unreadable
        throwSystemError(errno, "fchmod", temporary);
    }
    fill(fd.get(), temporary);
    syncAndClose(std::move(fd), temporary);
    if (check) {
        check(temporary);
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        throwSystemError(errno, "rename", target);
    }
    renamed = true;
    // The rename itself is durable only once the directory is flushed.
    syncAndClose(openOrThrow(target.parent_path(), O_RDONLY | O_DIRECTORY), target.parent_path());
}

} // namespace

std::string readSmallFile(const fs::path& path, std::int64_t limit) {
    UniqueFd fd = openOrThrow(path, O_RDONLY | O_NOFOLLOW);
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) {
        throwSystemError(errno, "fstat", path);
    }
    if (!S_ISREG(status.st_mode)) {
        throw BootstrapError::invalid("Not a regular file: " + path.string() + ".");
    }
    const auto tooLarge = [&] {
        return BootstrapError::invalid("File is larger than " + std::to_string(limit) + " bytes: " + path.string() + ".");
    };
    if (status.st_size > limit) {
        throw tooLarge();
    }
    std::string bytes;
    std::vector<char> buffer(65536);
    while (const std::size_t count = readSome(fd.get(), buffer.data(), buffer.size(), path)) {
        bytes.append(buffer.data(), count);
        if (static_cast<std::int64_t>(bytes.size()) > limit) {  // it grew while being read
            throw tooLarge();
        }
    }
    return bytes;
}

void writeNewFile(const fs::path& path, std::string_view bytes, unsigned mode) {
    UniqueFd fd = openOrThrow(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
    writeAll(fd.get(), bytes, path);
    syncAndClose(std::move(fd), path);
}

void copyFileDurably(const fs::path& source, const fs::path& target, const CopyCheck& check) {
    const UniqueFd input = openOrThrow(source, O_RDONLY | O_NOFOLLOW);
    replaceDurably(target, [&](int output, const fs::path& temporary) {
        std::vector<char> buffer(1 << 20);
        while (const std::size_t count = readSome(input.get(), buffer.data(), buffer.size(), source)) {
            writeAll(output, std::string_view(buffer.data(), count), temporary);
        }
    }, check);
}

void writeFileDurably(const fs::path& target, std::string_view bytes) {
    replaceDurably(target, [&](int output, const fs::path& temporary) { writeAll(output, bytes, temporary); });
}

} // namespace korvel
