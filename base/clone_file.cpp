#include "base/clone_file.h"

#include <cerrno>

#include <fcntl.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/fs.h>
#elif defined(__APPLE__)
#include <copyfile.h>
#include <sys/clonefile.h>
#endif

#include "base/posix_io.h"
#include "base/system_error.h"
#include "base/unique_fd.h"

namespace korvel {

void cloneFile(int from, std::int64_t bytes, const std::filesystem::path& to) {
#if defined(__APPLE__)
    if (::fclonefileat(from, AT_FDCWD, to.c_str(), 0) == 0) {
        return;
    }
#endif
    const UniqueFd output = openFile(to, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
#if defined(__linux__)
    if (::ioctl(output.get(), FICLONE, from) == 0) {
        return;
    }
    std::int64_t left = bytes;
    while (left > 0) {
        const ssize_t copied = ::copy_file_range(from, nullptr, output.get(), nullptr, static_cast<std::size_t>(left), 0);
        if (copied < 0) {
            const int error = errno;
            if (error == EINTR) {
                continue;
            }
            // Kernels and file systems that cannot copy in the kernel: copy through a buffer.
            if (left == bytes && (error == EXDEV || error == ENOSYS || error == EOPNOTSUPP || error == EINVAL)) {
                copyToEnd(from, output.get(), to, to);
                return;
            }
            throwSystemError(error, "copy_file_range", to);
        }
        if (copied == 0) {  // the source is shorter than it was when checked
            throwSystemError(ENODATA, "copy_file_range", to);
        }
        left -= copied;
    }
#elif defined(__APPLE__)
    static_cast<void>(bytes);
    if (::fcopyfile(from, output.get(), nullptr, COPYFILE_DATA) != 0) {
        throwSystemError(errno, "fcopyfile", to);
    }
#endif
}

bool exchangeEntries(const std::filesystem::path& first, const std::filesystem::path& second) {
#if defined(__linux__)
    if (::renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE) == 0) {
        return true;
    }
#elif defined(__APPLE__)
    if (::renamex_np(first.c_str(), second.c_str(), RENAME_SWAP) == 0) {
        return true;
    }
#else
    return false;
#endif
    const int error = errno;
    if (error == ENOSYS || error == EINVAL || error == ENOTSUP) {
        return false;
    }
    throwSystemError(error, "rename", first);
}

} // namespace korvel
