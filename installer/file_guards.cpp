#include "installer/file_guards.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/posix_io.h"
#include "base/system_error.h"
#include "base/unique_fd.h"
#include "installer/online_installer.h"
#include "policy/bootstrap_error.h"
#include "policy/bootstrap_policy.h"

namespace korvel {

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t metadataLimit = BootstrapPolicy::manifestLimit;

[[noreturn]] void invalidMetadata() { throw BootstrapError::invalid("Saved release metadata is invalid."); }

bool isDirectory(const fs::path& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Creates one directory with exactly 0700, whatever the umask. Returns false when its
// parent is missing; an existing directory is success and keeps its mode.
bool makeOwnerOnlyDirectory(const fs::path& path) {
    if (::mkdir(path.c_str(), 0700) != 0) {
        const int error = errno;
        if (error == ENOENT) {
            return false;
        }
        if (error == EEXIST && isDirectory(path)) {
            return true;
        }
        throwSystemError(error, "mkdir", path);
    }
    // Through a descriptor that refuses a link, so a link swapped in after mkdir cannot
    // redirect the mode change to a file outside the root.
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        throwSystemError(errno, "open", path);
    }
    if (::fchmod(fd.get(), 0700) != 0) {
        throwSystemError(errno, "chmod", path);
    }
    return true;
}

void makeDirectories(const fs::path& path) {
    if (makeOwnerOnlyDirectory(path)) {
        return;
    }
    const fs::path parent = path.parent_path();
    if (parent.empty() || parent == path) {
        throwSystemError(ENOENT, "mkdir", path);
    }
    makeDirectories(parent);
    if (!makeOwnerOnlyDirectory(path)) {
        throwSystemError(ENOENT, "mkdir", path);
    }
}

} // namespace

fs::path standardizedPath(const fs::path& path) {
    fs::path result = path.lexically_normal();
    if (result.has_relative_path() && !result.has_filename()) {
        result = result.parent_path();
    }
    return result;
}

void refuseSymbolicLink() {
    throw BootstrapError::invalid("An installation path is a symbolic link; no files were changed.");
}

void OnlineInstaller::noSymlinks(const fs::path& path) const {
    const std::string& rootText = root.native();
    const std::string standardized = standardizedPath(path).native();
    const std::string prefix = rootText.ends_with('/') ? rootText : rootText + '/';
    if (standardized != rootText && !standardized.starts_with(prefix)) {
        throw BootstrapError::invalid("Installation path escapes its directory.");
    }
    // Walks the path as given, not the standardized one: with a ".." segment the kernel
    // resolves the components before it, so those are what must not be links. Items that
    // do not exist yet are no links; nothing above the root is looked at.
    fs::path current = path;
    while (current.native().size() >= rootText.size()) {
        struct stat status {};
        if (::lstat(current.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
            refuseSymbolicLink();
        }
        if (current.native() == rootText) {
            return;
        }
        fs::path parent = current.parent_path();
        if (parent == current) {
            return;
        }
        current = std::move(parent);
    }
}

void OnlineInstaller::directory(const fs::path& path) const {
    noSymlinks(path);
    makeDirectories(standardizedPath(path));
}

std::string OnlineInstaller::boundedData(const fs::path& path) const {
    noSymlinks(path);
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        throwSystemError(errno, "lstat", path);
    }
    if (!S_ISREG(status.st_mode) || status.st_size > metadataLimit) {
        invalidMetadata();
    }
    std::optional<std::string> bytes = readRegularFile(path, metadataLimit);
    if (!bytes) {
        invalidMetadata();
    }
    return std::move(*bytes);
}

} // namespace korvel
