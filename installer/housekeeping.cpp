#include "installer/housekeeping.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvel {

namespace fs = std::filesystem;

namespace {

template <class Doomed>
std::vector<RemovalFailure> removeEntries(const fs::path& directory, const Doomed& doomed) {
    std::vector<RemovalFailure> failures;
    std::error_code error;
    for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
        if (!doomed(it->path().filename().native())) {
            continue;
        }
        std::error_code removal;
        fs::remove_all(it->path(), removal);  // removes a link itself, never what it points to
        if (removal) {
            failures.push_back({it->path(), removal});
        }
    }
    if (error && error != std::errc::no_such_file_or_directory) {
        failures.push_back({directory, error});
    }
    return failures;
}

} // namespace

std::vector<RemovalFailure> removeStaleStaging(const fs::path& root) {
    return removeEntries(root, [](const std::string& name) {
        return name.starts_with(".stage-") || name.starts_with(".manifest-");
    });
}

std::vector<RemovalFailure> pruneReleases(const fs::path& releases, const std::set<std::string>& keep) {
    return removeEntries(releases, [&keep](const std::string& name) { return !keep.contains(name); });
}

UniqueFd openRegularBeneath(int directory, const fs::path& relative) {
    UniqueFd current;
    int parent = directory;
    for (auto part = relative.begin(); part != relative.end(); ++part) {
        const bool last = std::next(part) == relative.end();
        const int flags = last ? O_RDONLY | O_NONBLOCK : O_RDONLY | O_DIRECTORY;
        UniqueFd next(::openat(parent, part->c_str(), flags | O_NOFOLLOW | O_CLOEXEC));
        if (!next) {
            return {};
        }
        current = std::move(next);
        parent = current.get();
    }
    struct stat status {};
    if (!current || ::fstat(current.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return {};
    }
    return current;
}

} // namespace korvel
