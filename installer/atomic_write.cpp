#include "installer/atomic_write.h"

#include <cerrno>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "installer/posix_file.h"
#include "installer/posix_io.h"
#include "installer/scope_exit.h"
#include "installer/uuid.h"

namespace korvel {

namespace fs = std::filesystem;

void writeFileAtomically(const fs::path& target, std::string_view bytes) {
    // Hidden, and unique per call, so it never collides with a leftover of an interrupted
    // run; in the target's directory, so the rename stays on one file system.
    std::string name = ".";
    name.append(target.filename().native()).append(".").append(randomUuid()).append(".tmp");
    const fs::path temporary = target.parent_path() / name;
    UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd) {
        throwSystemError(errno, "open", temporary);
    }
    bool renamed = false;
    const ScopeExit removeTemporary([&] {
        if (!renamed) {
            ::unlink(temporary.c_str());
        }
    });
    writeAll(fd.get(), bytes, temporary);
    // close() can report a delayed write error (NFS, quota); such a file must not replace
    // the target.
    if (::close(fd.release()) != 0) {
        throwSystemError(errno, "close", temporary);
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        throwSystemError(errno, "rename", target);
    }
    renamed = true;
}

} // namespace korvel
