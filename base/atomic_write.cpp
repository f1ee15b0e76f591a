#include "base/atomic_write.h"

#include <cerrno>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/posix_io.h"
#include "base/scope_exit.h"
#include "base/system_error.h"
#include "base/unique_fd.h"
#include "base/uuid.h"

namespace korvel {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view leftoverSuffix = ".tmp";
constexpr std::size_t uuidLength = 36;

} // namespace

void replaceFileAtomically(const fs::path& target, const FileFill& fill, Durability durability,
                           const FileCheck& check) {
    // Hidden, and unique per call, so it never collides with a leftover of an interrupted
    // run; in the target's directory, so the rename stays on one file system.
    std::string name = ".";
    name.append(target.filename().native()).append(".").append(randomUuid()).append(leftoverSuffix);
    const fs::path temporary = target.parent_path() / name;
    UniqueFd fd = openFile(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
    bool renamed = false;
    const ScopeExit removeTemporary([&] {
        if (!renamed) {
            ::unlink(temporary.c_str());
        }
    });
    if (::fchmod(fd.get(), 0644) != 0) {  // the umask must not make the file unreadable
        throwSystemError(errno, "fchmod", temporary);
    }
    fill(fd.get(), temporary);
    // A rename that reaches the disk before the data it names would leave an empty file
    // after a power loss; the flush orders them.
    if (durability == Durability::none) {
        closeChecked(std::move(fd), temporary);
    } else {
        syncAndClose(std::move(fd), temporary);
    }
    if (check) {
        check(temporary);
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        throwSystemError(errno, "rename", target);
    }
    renamed = true;
    if (durability == Durability::flushed) {
        // The rename itself is durable only once the directory is flushed.
        syncAndClose(openFile(target.parent_path(), O_RDONLY | O_DIRECTORY), target.parent_path());
    }
}

void writeFileAtomically(const fs::path& target, std::string_view bytes, Durability durability) {
    replaceFileAtomically(
        target, [bytes](int fd, const fs::path& temporary) { writeAll(fd, bytes, temporary); }, durability);
}

bool isAtomicWriteLeftover(const fs::path& name) {
    const std::string& text = name.native();
    return text.size() > 1 + 1 + uuidLength + leftoverSuffix.size() && text.starts_with('.') &&
           text.ends_with(leftoverSuffix) && text[text.size() - leftoverSuffix.size() - uuidLength - 1] == '.';
}

} // namespace korvel
