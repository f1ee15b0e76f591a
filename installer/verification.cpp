#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <exception>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/scope_exit.h"
#include "base/system_error.h"
#include "base/unique_fd.h"
#include "installer/file_guards.h"
#include "installer/online_installer.h"
#include "installer/parallel_digest.h"
#include "policy/bootstrap_error.h"
#include "policy/bootstrap_policy.h"

namespace korvel {

namespace fs = std::filesystem;

namespace {

constexpr const char* savedManifestName = "installed-manifest.json";

[[noreturn]] void failedVerification() {
    throw BootstrapError::invalid("A downloaded or installed game file failed verification.");
}

struct stat itemStatus(const fs::path& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        throwSystemError(errno, "lstat", path);
    }
    return status;
}

// One directory of the tree pass: its entry names, sorted so that the first problem reported
// does not depend on the file system's order, and which one comes next. Read whole on entry,
// so the walk holds no more than the directory it stands in open, however deep the tree.
struct WalkedDirectory {
    dev_t device = 0;
    ino_t inode = 0;
    std::vector<std::string> names;
    std::size_t next = 0;
    std::size_t relativeLength = 0;  // of the relative path of its entries' parent, "/" included
    bool readToEnd = false;          // a failed read keeps the names that came before it
};

// The directory open at fd; nullopt when it cannot be read at all.
std::optional<WalkedDirectory> readDirectory(int fd, std::size_t relativeLength) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        return std::nullopt;
    }
    // closedir() closes the descriptor it reads, and the walk still needs fd.
    UniqueFd readable(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    DIR* const stream = readable ? ::fdopendir(readable.get()) : nullptr;
    if (stream == nullptr) {
        return std::nullopt;
    }
    readable.release();
    const ScopeExit closeStream([stream] { ::closedir(stream); });
    WalkedDirectory walked;
    walked.device = status.st_dev;
    walked.inode = status.st_ino;
    walked.relativeLength = relativeLength;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(stream);
        if (entry == nullptr) {
            walked.readToEnd = errno == 0;
            break;
        }
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            walked.names.emplace_back(name);
        }
    }
    std::sort(walked.names.begin(), walked.names.end());
    return walked;
}

[[noreturn]] void uninspectable() { throw BootstrapError::invalid("Cannot inspect the installed game directory."); }

// Tree pass: below dir only allowed regular files, directories and other items that are not
// symbolic links, visited depth first, in name order within each directory. Each entry costs
// one fstatat() in the directory it stands in, so the pass is linear in the number of entries
// however deep the tree (a check of every path up to the root is cubic in the depth): dir and
// all above it passed noSymlinks, and every directory below it is entered, through a
// descriptor that refuses a link, only after it was seen not to be one. Names read from a
// directory hold no "/" and are never "." or "..", so every item lies inside dir. The walk
// climbs back through "..", and gives up with the uninspectable message when that is not the
// directory it came from (the tree was moved while it was walked). Directories that cannot be
// opened or read are passed over; the file pass still checks every release file.
void checkTree(const fs::path& dir, const std::set<std::string>& allowed) {
    UniqueFd current(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::optional<WalkedDirectory> top = current ? readDirectory(current.get(), 0) : std::nullopt;
    if (!top || !top->readToEnd) {
        uninspectable();
    }
    std::vector<WalkedDirectory> stack;
    stack.push_back(std::move(*top));
    std::string relative;
    while (!stack.empty()) {
        WalkedDirectory& walked = stack.back();
        if (walked.next == walked.names.size()) {
            stack.pop_back();
            if (stack.empty()) {
                break;
            }
            UniqueFd parent(::openat(current.get(), "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            struct stat status {};
            if (!parent || ::fstat(parent.get(), &status) != 0 || status.st_dev != stack.back().device ||
                status.st_ino != stack.back().inode) {
                uninspectable();
            }
            current = std::move(parent);
            relative.resize(stack.back().relativeLength);
            continue;
        }
        const std::string& name = walked.names[walked.next++];
        struct stat status {};
        if (::fstatat(current.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            throwSystemError(errno, "lstat", dir / (relative + name));
        }
        if (S_ISLNK(status.st_mode)) {
            refuseSymbolicLink();
        }
        if (S_ISREG(status.st_mode)) {
            if (!allowed.contains(relative + name)) {
                throw BootstrapError::invalid("An installed release contains an unexpected file: " + relative + name);
            }
        } else if (S_ISDIR(status.st_mode)) {
            UniqueFd child(::openat(current.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            std::optional<WalkedDirectory> entered =
                child ? readDirectory(child.get(), relative.size() + name.size() + 1) : std::nullopt;
            if (entered) {
                relative.append(name).push_back('/');
                stack.push_back(std::move(*entered));
                current = std::move(child);
            }
        }
    }
}

} // namespace

void OnlineInstaller::verify(const fs::path& dir, const ReleaseManifest& manifest) const {
    noSymlinks(dir);
    std::set<std::string> allowed = BootstrapPolicy::paths;
    allowed.insert(savedManifestName);

    checkTree(dir, allowed);

    // File pass: every listed file present, of its size and digest, executable if marked.
    // The cheap checks run first, in manifest order, up to the first file that fails them;
    // the files before it are then hashed in parallel. The error thrown is still the one a
    // file-by-file pass would meet first: a digest or execute-bit failure of an earlier file
    // comes before the cheap failure of a later one, and a file is hashed only after its
    // type and size matched.
    const auto mac = manifest.platforms.find("mac");
    if (mac == manifest.platforms.end()) {
        failedVerification();
    }
    const std::vector<ReleaseFile>& files = mac->second.files;
    std::vector<DigestCheck> checks;
    checks.reserve(files.size());
    std::exception_ptr cheapFailure;
    for (const ReleaseFile& file : files) {
        const fs::path path = dir / file.path;
        try {
            noSymlinks(path);
            const struct stat status = itemStatus(path);
            if (!S_ISREG(status.st_mode) || status.st_size != file.bytes) {
                failedVerification();
            }
        } catch (...) {
            cheapFailure = std::current_exception();
            break;
        }
        checks.push_back({path, file.bytes, file.sha256});
    }
    const std::vector<DigestVerdict> verdicts = checkDigests(checks);
    for (std::size_t i = 0; i < checks.size(); ++i) {
        if (verdicts[i].error) {
            std::rethrow_exception(verdicts[i].error);
        }
        if (verdicts[i].outcome != DigestVerdict::Outcome::matched ||
            (files[i].executable && ::access(checks[i].path.c_str(), X_OK) != 0)) {
            failedVerification();
        }
    }
    if (cheapFailure) {
        std::rethrow_exception(cheapFailure);
    }

    verifySignature(dir / BootstrapPolicy::app);
}

} // namespace korvel
