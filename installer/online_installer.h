#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "installer/operations.h"
#include "policy/manifest_signature.h"
#include "policy/release.h"

namespace korvel {

struct PreparedClient {
    std::filesystem::path executable;  // the game client to start
    bool usedPrevious = false;         // true when the update failed and an earlier release is used
};

// Improvements over the installer's fixed behaviour. Each is off by default, so an installer
// built without options behaves exactly as the design fixes it; the launcher turns them on.
struct InstallerOptions {
    bool reuseUnchangedFiles = false;  // take files whose size and SHA-256 match from installed releases
    bool removeStaleStaging = false;   // under the lock, remove ".stage-*" and ".manifest-*" left by stopped runs
                                       // (and, once a new release is in place, "partial-downloads")
    bool pruneOlderReleases = false;   // after a new release is committed, keep only it and the one it replaced
    bool repairDamagedRelease = false; // an installed release that fails verification is re-installed in place

    // The signed layer over the manifest (policy/manifest_signature.h), on when it names at
    // least one key: the manifest's detached signature is fetched with the same download
    // operation and checked before the manifest is parsed. A manifest with a sequence number
    // below the highest one accepted, or with the same number and other bytes, is refused, as
    // is one below the selected release's own; the highest accepted is kept in
    // "manifest-sequence.json" (replaced atomically, flushed, 0600). Refusals are update
    // failures like any other: the verified installed release is started instead.
    ManifestTrust manifestTrust;
};

// Owns the install root. One instance per launcher run; prepare() is its only public
// operation. Everything it does on disk stays inside the root, passes the symbolic-link
// guard first, and leaves the selected release untouched until the final rename and commit.
//
// Layout of the root:
//   update.lock               exclusive flock between launchers; always empty
//   .manifest-<UUID>.json     this run's downloaded manifest, removed before prepare() returns
//   current.json              the selected release, replaced atomically and flushed
//   releases/<release>/       verified releases: installed-manifest.json and the bundle
//   .stage-<UUID>/            an installation in progress
//   .manifest-<UUID>.sig      this run's manifest signature (signed layer), removed likewise
//   manifest-sequence.json    the highest manifest sequence accepted (signed layer)
//   partial-downloads/        release files still arriving (the launcher's resumable downloads)
class OnlineInstaller {
public:
    // Touches nothing on disk. The root is kept lexically normalised; links are not resolved.
    OnlineInstaller(std::filesystem::path root, DownloadOperation download, SignatureCheck verifySignature,
                    StatusOperation status = {}, InstallerOptions options = {});

    // Installs the release the manifest names, or falls back to the verified release an
    // earlier run selected. Blocks the calling thread for the whole update.
    PreparedClient prepare();

private:
    struct AcceptedSequence;

    void noSymlinks(const std::filesystem::path& path) const;
    void directory(const std::filesystem::path& path) const;
    std::string boundedData(const std::filesystem::path& path) const;
    void verify(const std::filesystem::path& dir, const ReleaseManifest& manifest) const;
    void commit(const std::string& release) const;
    std::filesystem::path previous() const;
    std::filesystem::path install(const ReleaseManifest& manifest, const std::string& data);
    void stage(const ReleaseManifest& manifest, const std::string& data, const std::filesystem::path& staging);
    std::vector<std::string> reuseSources(const std::string& release) const;
    bool reuseInstalledFile(const ReleaseFile& file, const std::vector<std::string>& sources,
                            const std::filesystem::path& destination) const;
    bool savedManifestDescribes(const std::filesystem::path& release, const ReleaseManifest& manifest) const;
    std::optional<std::string> selectedRelease() const;
    void authenticate(const std::string& data);
    AcceptedSequence selectedSequence() const;
    std::optional<std::string> presentData(const std::filesystem::path& path) const;

    std::filesystem::path root;
    DownloadOperation download;
    SignatureCheck verifySignature;
    StatusOperation status;
    InstallerOptions options;
};

// Lowercase hexadecimal SHA-256 of a file's content, streamed in 1 MiB chunks.
std::string fileDigest(const std::filesystem::path& path);

} // namespace korvel
