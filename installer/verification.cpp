#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <exception>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

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

// The entries of one directory, sorted so that the first problem reported does not depend
// on the file system's order. Read whole before the caller descends, so a deep tree holds
// no more than one directory open at a time. When the directory cannot be read, error is
// set and the result holds what was read before the failure.
std::vector<fs::path> directoryEntries(const fs::path& dir, std::error_code& error) {
    std::vector<fs::path> entries;
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
        entries.push_back(it->path());
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

} // namespace

void OnlineInstaller::verify(const fs::path& dir, const ReleaseManifest& manifest) const {
    noSymlinks(dir);
    std::set<std::string> allowed = BootstrapPolicy::paths;
    allowed.insert(savedManifestName);

    std::error_code error;
    std::vector<fs::path> pending = directoryEntries(dir, error);
    if (error) {
        throw BootstrapError::invalid("Cannot inspect the installed game directory.");
    }
    // Tree pass: nothing but the release files and the saved manifest, and no links.
    // Directories that cannot be read are passed over; every release file is still
    // checked by the file pass below.
    const std::string prefix = standardizedPath(dir).native() + '/';
    std::reverse(pending.begin(), pending.end());
    while (!pending.empty()) {
        const fs::path item = std::move(pending.back());
        pending.pop_back();
        noSymlinks(item);
        const struct stat status = itemStatus(item);
        if (S_ISREG(status.st_mode)) {
            const std::string path = standardizedPath(item).native();
            if (!path.starts_with(prefix)) {
                throw BootstrapError::invalid("An installed file escaped its release directory.");
            }
            const std::string relative = path.substr(prefix.size());
            if (!allowed.contains(relative)) {
                throw BootstrapError::invalid("An installed release contains an unexpected file: " + relative);
            }
        } else if (S_ISDIR(status.st_mode)) {
            std::vector<fs::path> children = directoryEntries(item, error);
            pending.insert(pending.end(), children.rbegin(), children.rend());
        }
    }

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
