#include "installer/online_installer.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

#include "base/atomic_write.h"
#include "base/clone_file.h"
#include "base/system_error.h"
#include "base/unique_fd.h"
#include "base/uuid.h"
#include "installer/housekeeping.h"
#include "installer/streaming_digest.h"
#include "policy/bootstrap_error.h"
#include "policy/bootstrap_policy.h"

namespace korvel {

namespace {

namespace fs = std::filesystem;

constexpr const char* savedManifestName = "installed-manifest.json";
const char* const reusedNameMessage = "An existing release name was reused for different content.";
const char* const failedDownloadMessage =
    "A game download failed its size or SHA-256 check. The previous version is unchanged.";

// An accepted manifest always has a "mac" entry; at() turns a broken precondition into an
// error instead of an empty release.
const std::vector<ReleaseFile>& macFiles(const ReleaseManifest& manifest) {
    return manifest.platforms.at("mac").files;
}

// Any kind of entry counts, a dangling link or a plain file included: the rename into
// place must never meet an existing entry.
bool entryExists(const fs::path& path) {
    struct stat info{};
    if (::lstat(path.c_str(), &info) == 0) {
        return true;
    }
    const int error = errno;
    if (error == ENOENT) {
        return false;
    }
    throwSystemError(error, "lstat", path);
}

std::vector<ReleaseFile> sortedByPath(std::vector<ReleaseFile> files) {
    std::stable_sort(files.begin(), files.end(),
                     [](const ReleaseFile& a, const ReleaseFile& b) { return a.path < b.path; });
    return files;
}

// The saved manifest must describe the very release the new manifest describes; the order
// in which either lists its files does not matter.
bool sameContent(const ReleaseManifest& saved, const ReleaseManifest& incoming) {
    return saved.release == incoming.release && sortedByPath(macFiles(saved)) == sortedByPath(macFiles(incoming));
}

void requireSameContent(const ReleaseManifest& saved, const ReleaseManifest& incoming) {
    if (!sameContent(saved, incoming)) {
        throw BootstrapError::invalid(reusedNameMessage);
    }
}

// Owns a staging directory until the installation ends. Removal never follows links and its
// errors are ignored: a staging directory left behind holds nothing that is selected, and
// every run stages under a fresh name.
class StagingDirectory {
public:
    explicit StagingDirectory(fs::path path) : path_(std::move(path)) {}
    StagingDirectory(const StagingDirectory&) = delete;
    StagingDirectory& operator=(const StagingDirectory&) = delete;
    ~StagingDirectory() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }

    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// The download reports bytes of one file; the player sees the position of that file and
// the share of the whole release received so far.
Progress installingProgress(const StatusOperation& status, std::size_t position, std::size_t count,
                            std::int64_t completedBefore, std::int64_t total) {
    const std::string message =
        "Installing game " + std::to_string(position + 1) + " of " + std::to_string(count) + "…";
    return [&status, message, completedBefore, total](std::int64_t received) {
        status(message, static_cast<double>(completedBefore + received) / static_cast<double>(total));
    };
}

// Whatever the download operation promised, the file itself decides: a regular file of the
// listed size whose digest matches. The digest is computed only after the cheap tests pass.
// The digest taken while the file arrived stands only when it matches and is of this very
// file; any other answer is settled by reading the file back, as it is now.
void requireDelivered(const fs::path& destination, const ReleaseFile& file, StreamingDigest& streamed) {
    struct stat info{};
    if (::lstat(destination.c_str(), &info) != 0) {
        throwSystemError(errno, "lstat", destination);
    }
    if (!S_ISREG(info.st_mode) || static_cast<std::int64_t>(info.st_size) != file.bytes) {
        throw BootstrapError::invalid(failedDownloadMessage);
    }
    const std::optional<std::string> streamedDigest = streamed.finish(info.st_dev, info.st_ino, info.st_size);
    if (streamedDigest != file.sha256 && fileDigest(destination) != file.sha256) {
        throw BootstrapError::invalid(failedDownloadMessage);
    }
}

void setInstalledMode(const fs::path& destination, bool executable) {
    if (::chmod(destination.c_str(), executable ? 0755 : 0644) != 0) {
        throwSystemError(errno, "chmod", destination);
    }
}

void flushDirectory(const fs::path& dir) { syncAndClose(openFile(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW), dir); }

// Makes the staged tree at dir, as it is now, survive a power loss: the data and mode of every
// release file, and the entries of every directory that holds them or the saved manifest (whose
// content was flushed before its rename), dir included. The entry that names dir is left to
// the caller. Verification has just admitted nothing else but empty directories, whose loss
// no later verification notices.
void flushReleaseTree(const fs::path& dir, const ReleaseManifest& manifest) {
    std::set<fs::path> directories{dir};
    for (const ReleaseFile& file : macFiles(manifest)) {
        const fs::path path = dir / file.path;
        // O_NONBLOCK: a FIFO swapped in after verification cannot hang the open.
        syncAndClose(openFile(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK), path);
        for (fs::path parent = fs::path(file.path).parent_path(); !parent.empty(); parent = parent.parent_path()) {
            directories.insert(dir / parent);
        }
    }
    for (const fs::path& directory : directories) {
        flushDirectory(directory);
    }
}

// The selection record may name a release only once a power loss can no longer take the
// release, or the entries on the way to it, away: releases/ holds the release's entry, and
// the root the entry of releases/, which this very run may have created.
void flushEntriesUpTo(const fs::path& releases, const fs::path& root) {
    flushDirectory(releases);
    flushDirectory(root);
}

// One rename(2): the release appears complete or not at all, whatever happens around it.
void moveIntoPlace(const fs::path& staging, const fs::path& release) {
    if (::rename(staging.c_str(), release.c_str()) != 0) {
        const int error = errno;
        throw fs::filesystem_error("rename", staging, release, std::error_code(error, std::generic_category()));
    }
}

} // namespace

// Whether the release in place is, by its saved manifest, the release the manifest names; only
// such a release is repaired. A saved manifest that cannot be read or parsed answers no: then
// nothing tells which release the damaged files were.
bool OnlineInstaller::savedManifestDescribes(const fs::path& release, const ReleaseManifest& manifest) const {
    try {
        return sameContent(BootstrapPolicy::parse(boundedData(release / savedManifestName)), manifest);
    } catch (const BootstrapError&) {
        return false;
    } catch (const DecodingError&) {
        return false;
    } catch (const fs::filesystem_error&) {
        return false;
    }
}

// Installed releases in the order in which they most likely hold a file of release: release
// itself (being repaired), then the selected one, then the rest.
std::vector<std::string> OnlineInstaller::reuseSources(const std::string& release) const {
    std::vector<std::string> names{release};
    if (const std::optional<std::string> selected = selectedRelease(); selected && *selected != release) {
        names.push_back(*selected);
    }
    std::error_code error;
    for (fs::directory_iterator it(root / "releases", error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().native();
        if (std::find(names.begin(), names.end(), name) == names.end()) {
            names.push_back(name);
        }
    }
    return names;
}

// A file of an installed release with the listed size and digest, taken instead of a download:
// cloned in the kernel into destination and checked like a download. Any other outcome (no
// such file, a link on the way, a copy that fails or does not match) leaves no copy and
// answers false, so a damaged or tampered source only costs the download it would have saved.
bool OnlineInstaller::reuseInstalledFile(const ReleaseFile& file, const std::vector<std::string>& sources,
                                         const fs::path& destination) const {
    const fs::path releases = root / "releases";
    const UniqueFd releasesFd(::open(releases.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    for (const std::string& name : sources) {
        const UniqueFd source =
            releasesFd ? openRegularBeneath(releasesFd.get(), fs::path(name) / file.path) : UniqueFd();
        struct stat info {};
        if (!source || ::fstat(source.get(), &info) != 0 || info.st_size != file.bytes) {
            continue;
        }
        try {
            cloneFile(source.get(), file.bytes, destination);
            if (fileDigest(destination) == file.sha256) {
                return true;
            }
        } catch (const fs::filesystem_error&) {
            // The download meets any lasting fault of the disk itself.
        }
        std::error_code ignored;
        fs::remove(destination, ignored);
    }
    return false;
}

// Every listed file into staging, downloaded or reused, then the saved manifest; the staged
// tree is then verified as a whole.
void OnlineInstaller::stage(const ReleaseManifest& manifest, const std::string& data, const fs::path& staging) {
    const std::vector<ReleaseFile>& files = macFiles(manifest);
    std::int64_t total = 0;
    for (const ReleaseFile& file : files) {
        total += file.bytes;
    }
    const std::vector<std::string> sources =
        options.reuseUnchangedFiles ? reuseSources(manifest.release) : std::vector<std::string>{};
    std::int64_t completed = 0;
    for (std::size_t position = 0; position < files.size(); ++position) {
        const ReleaseFile& file = files[position];
        const fs::path destination = staging / file.path;
        directory(destination.parent_path());
        const Progress reportInstalling = installingProgress(status, position, files.size(), completed, total);
        if (options.reuseUnchangedFiles && reuseInstalledFile(file, sources, destination)) {
            reportInstalling(file.bytes);
        } else {
            // Hashed while it arrives: reading every file back after its download would be a
            // second pass over the whole release on the way to the staged verification.
            StreamingDigest streamed(destination);
            download(file.url, destination, file.bytes, [&streamed, &reportInstalling](std::int64_t received) {
                streamed.written();
                reportInstalling(received);
            });
            requireDelivered(destination, file, streamed);
        }
        setInstalledMode(destination, file.executable);
        completed += file.bytes;
    }
    // Flushed before its rename, like every replacement; the tree flush covers its entry.
    writeFileAtomically(staging / savedManifestName, data, Durability::contentFlushed);
    verify(staging, manifest);
}

fs::path OnlineInstaller::install(const ReleaseManifest& manifest, const std::string& data) {
    const fs::path releases = root / "releases";
    directory(releases);
    const fs::path release = releases / manifest.release;
    noSymlinks(release);

    std::exception_ptr damage;  // set when the release in place is to be repaired
    if (entryExists(release)) {
        status("Checking installed game…", 0.0);
        try {
            // The files on disk must match the manifest just downloaded before the saved copy
            // is trusted to say which release they belong to.
            verify(release, manifest);
        } catch (...) {
            if (!options.repairDamagedRelease || !savedManifestDescribes(release, manifest)) {
                throw;
            }
            damage = std::current_exception();
        }
        if (!damage) {
            requireSameContent(BootstrapPolicy::parse(boundedData(release / savedManifestName)), manifest);
            // Its tree was flushed before its rename into place, but the run that renamed it may
            // have stopped before flushing the entries that lead to it.
            flushEntriesUpTo(releases, root);
            commit(manifest.release);
            return release / BootstrapPolicy::entrypoint;
        }
    }

    const std::optional<std::string> replaced = options.pruneOlderReleases ? selectedRelease() : std::nullopt;
    const fs::path stagingPath = root / (".stage-" + randomUuid());
    directory(stagingPath);
    const StagingDirectory staging(stagingPath);
    stage(manifest, data, staging.path());

    // Flushed before the rename: a release directory that a power loss leaves in place is then
    // complete, and the next run can reuse it instead of refusing it for ever.
    flushReleaseTree(staging.path(), manifest);
    if (damage) {
        // One step swaps the repaired tree in; the damaged one goes with the staging directory.
        // Where the platform cannot swap, the damaged release stays and its failure stands.
        if (!exchangeEntries(staging.path(), release)) {
            std::rethrow_exception(damage);
        }
    } else {
        moveIntoPlace(staging.path(), release);
    }
    flushEntriesUpTo(releases, root);
    // From here the release is in place; a failed or interrupted commit leaves the old
    // selection, and the next run selects this directory through the branch above.
    commit(manifest.release);
    if (!damage && options.pruneOlderReleases) {
        std::set<std::string> keep{manifest.release};
        if (replaced) {
            keep.insert(*replaced);
        }
        pruneReleases(releases, keep);
    }
    if (!damage && options.removeStaleStaging) {
        // Each file of this release left the partial downloads when it completed; what is left
        // there served releases that will not be installed now.
        std::error_code ignored;
        fs::remove_all(root / partialDownloadsName, ignored);
    }
    return release / BootstrapPolicy::entrypoint;
}

} // namespace korvel
