#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "base/atomic_write.h"
#include "base/system_error.h"
#include "base/unique_fd.h"
#include "installer/online_installer.h"
#include "policy/bootstrap_error.h"
#include "policy/bootstrap_policy.h"

namespace korvel {

namespace fs = std::filesystem;

namespace {

constexpr const char* recordName = "current.json";

// Best effort: a descriptor that cannot be opened means that flush is skipped, never that
// the selection failed, because the new record is already in place by then.
void flushToDisk(const fs::path& path, int flags) {
    const UniqueFd fd(::open(path.c_str(), flags | O_CLOEXEC));
    if (fd) {
        flushToStableStorage(fd.get());
    }
}

} // namespace

void OnlineInstaller::commit(const std::string& release) const {
    const fs::path record = root / recordName;
    noSymlinks(record);
    // The content reaches the disk before the rename can: a power loss right after the rename
    // must not leave a record that names nothing, or an empty one.
    writeFileAtomically(record, encodeJson(CurrentRelease{1, release}), Durability::contentFlushed);
    if (::chmod(record.c_str(), 0600) != 0) {
        throwSystemError(errno, "chmod", record);
    }
    // The record's mode, then the directory entry the rename changed: after both, a power loss
    // leaves the new selection; before them, the old or the new one, never a torn file.
    flushToDisk(record, O_RDONLY | O_NOFOLLOW);
    flushToDisk(root, O_RDONLY);
}

fs::path OnlineInstaller::previous() const {
    const CurrentRelease selected = decodeJson<CurrentRelease>(boundedData(root / recordName));
    // Checked before the name becomes part of a path.
    if (selected.schema != 1 || !BootstrapPolicy::validRelease(selected.release)) {
        throw BootstrapError::invalid("Saved release selection is invalid.");
    }
    const fs::path releaseDir = root / "releases" / selected.release;
    const ReleaseManifest saved = BootstrapPolicy::parse(boundedData(releaseDir / "installed-manifest.json"));
    if (saved.release != selected.release) {
        throw BootstrapError::invalid("Saved release identity differs.");
    }
    verify(releaseDir, saved);
    return releaseDir / BootstrapPolicy::entrypoint;
}

// The name the selection record holds, when it is readable and valid; housekeeping and the
// signed layer only consult it, and previous() reports any fault of it.
std::optional<std::string> OnlineInstaller::selectedRelease() const {
    try {
        const std::optional<std::string> record = presentData(root / "current.json");
        const CurrentRelease selected = record ? decodeJson<CurrentRelease>(*record) : CurrentRelease{};
        return BootstrapPolicy::validRelease(selected.release) ? std::optional(selected.release) : std::nullopt;
    } catch (const DecodingError&) {
        return std::nullopt;
    } catch (const BootstrapError&) {
        return std::nullopt;
    }
}

std::optional<std::string> OnlineInstaller::presentData(const fs::path& path) const {
    noSymlinks(path);
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        const int error = errno;
        if (error == ENOENT) {
            return std::nullopt;
        }
        throwSystemError(error, "lstat", path);
    }
    return boundedData(path);
}

} // namespace korvel
