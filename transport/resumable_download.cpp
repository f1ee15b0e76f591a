#include "transport/resumable_download.h"

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/sha256.h"
#include "base/system_error.h"
#include "base/unique_fd.h"
#include "policy/bootstrap_error.h"
#include "policy/bootstrap_policy.h"

namespace korvel {

namespace fs = std::filesystem;

namespace {

struct DirectoryCloser {
    void operator()(DIR* directory) const { ::closedir(directory); }
};

UniqueFd openPartialDirectory(const fs::path& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        throwSystemError(errno, "mkdir", path);
    }
    return openFile(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
}

struct KeptFile {
    std::string name;
    std::int64_t bytes = 0;
};

// The regular files in the directory; anything else is removed on the way (a link is removed
// as a link, an emptied directory as a directory).
std::vector<KeptFile> keptFiles(int directoryFd, const fs::path& path) {
    const int listingFd = ::dup(directoryFd);
    if (listingFd < 0) {
        throwSystemError(errno, "dup", path);
    }
    const std::unique_ptr<DIR, DirectoryCloser> listing(::fdopendir(listingFd));
    if (!listing) {
        const int error = errno;
        ::close(listingFd);
        throwSystemError(error, "fdopendir", path);
    }
    std::vector<KeptFile> files;
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string name = entry->d_name;
        struct stat status {};
        if (name == "." || name == ".." || ::fstatat(directoryFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        if (S_ISREG(status.st_mode)) {
            files.push_back({name, status.st_size});
        } else {
            ::unlinkat(directoryFd, name.c_str(), S_ISDIR(status.st_mode) ? AT_REMOVEDIR : 0);
        }
    }
    return files;
}

// Removal of kept files is housekeeping: a file that cannot be removed costs disk space, not
// the update, so failures are left for the next attempt.
void makeRoomFor(int directoryFd, const fs::path& path, const std::string& key, std::int64_t limit) {
    std::int64_t others = 0;
    const std::vector<KeptFile> files = keptFiles(directoryFd, path);
    for (const KeptFile& file : files) {
        others += file.name == key ? 0 : file.bytes;
    }
    if (others <= BootstrapPolicy::totalLimit - limit) {
        return;
    }
    for (const KeptFile& file : files) {
        if (file.name != key) {
            ::unlinkat(directoryFd, file.name.c_str(), 0);
        }
    }
}

void fetchWhole(const TransportOptions& options, const std::string& url, const fs::path& destination,
                std::int64_t limit, const Progress& progress) {
    BoundedDownload download(destination, limit, progress, options);
    download.fetch(url);
}

void fetchResumable(const fs::path& partialDirectory, const TransportOptions& options, const std::string& url,
                    const fs::path& destination, std::int64_t limit, const Progress& progress) {
    const UniqueFd directory = openPartialDirectory(partialDirectory);
    const std::string key = sha256Hex(url);
    makeRoomFor(directory.get(), partialDirectory, key, limit);
    // Created here when new, so that the link below always has a file to name.
    const int kept = ::openat(directory.get(), key.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (kept < 0) {
        throw BootstrapError::invalid("Could not create a fresh download staging file.");
    }
    ::close(kept);
    if (::linkat(directory.get(), key.c_str(), AT_FDCWD, destination.c_str(), 0) != 0) {
        if (errno == EEXIST) {
            throw BootstrapError::invalid("Could not create a fresh download staging file.");
        }
        // A file system without hard links (exFAT, some network shares) still installs, from
        // the first byte each time.
        fetchWhole(options, url, destination, limit, progress);
        return;
    }
    TransportOptions resumable = options;
    resumable.resume = true;
    BoundedDownload download(destination, limit, progress, resumable);
    download.fetch(url);
    ::unlinkat(directory.get(), key.c_str(), 0);
}

} // namespace

DownloadOperation resumableDownload(fs::path partialDirectory, TransportOptions options) {
    return [partialDirectory = std::move(partialDirectory), options = std::move(options)](
               const std::string& url, const fs::path& destination, std::int64_t limit, const Progress& progress) {
        if (url.starts_with(BootstrapPolicy::downloadBase)) {
            fetchResumable(partialDirectory, options, url, destination, limit, progress);
        } else {
            fetchWhole(options, url, destination, limit, progress);
        }
    };
}

} // namespace korvel
