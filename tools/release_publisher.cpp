#include "tools/release_publisher.h"

#include <algorithm>
#include <cerrno>
#include <set>

#include <fcntl.h>
#include <sys/file.h>

#include "base/joined.h"
#include "base/system_error.h"
#include "base/unique_fd.h"
#include "installer/online_installer.h"
#include "policy/bootstrap_error.h"
#include "policy/bootstrap_policy.h"
#include "policy/manifest_signature.h"
#include "tools/tool_files.h"
#include "transport/bundle_signature.h"

namespace korvel {

namespace fs = std::filesystem;

namespace {

std::string inRelease(const std::string& bundlePath) { return BootstrapPolicy::app + "/" + bundlePath; }

void requireValidName(const std::string& release) {
    if (!BootstrapPolicy::validRelease(release)) {
        throw BootstrapError::invalid(
            "Not a valid release name: \"" + release +
            "\". A release name is 1 to 64 ASCII letters, digits, '.', '_' or '-', begins with a letter or digit, "
            "holds no '..', does not end with '.' and is no device name such as CON or LPT1.");
    }
}

void requirePolicyFileSet(const std::vector<BundleFile>& files) {
    std::set<std::string> present;
    for (const auto& file : files) {
        present.insert(inRelease(file.path));
    }
    std::set<std::string> expected = BootstrapPolicy::paths;
    expected.erase(inRelease(std::string(codeResourcesPath)));
    present.erase(inRelease(std::string(codeResourcesPath)));
    std::vector<std::string> missing;
    std::vector<std::string> unexpected;
    std::set_difference(expected.begin(), expected.end(), present.begin(), present.end(),
                        std::back_inserter(missing));
    std::set_difference(present.begin(), present.end(), expected.begin(), expected.end(),
                        std::back_inserter(unexpected));
    if (missing.empty() && unexpected.empty()) {
        return;
    }
    std::string text = "The bundle does not hold exactly the " + std::to_string(BootstrapPolicy::paths.size()) +
                       " files of a release.";
    if (!missing.empty()) {
        text += "\n  missing: " + joined(missing, "\n  missing: ");
    }
    if (!unexpected.empty()) {
        text += "\n  unexpected: " + joined(unexpected, "\n  unexpected: ");
    }
    throw BootstrapError::invalid(text);
}

void requirePolicyModes(const std::vector<BundleFile>& files) {
    std::vector<std::string> wrong;
    for (const auto& file : files) {
        const bool executable = BootstrapPolicy::executables.contains(inRelease(file.path));
        if (file.executable != executable) {
            wrong.push_back(file.path + (executable ? " (must be executable)" : " (must not be executable)"));
        }
    }
    if (!wrong.empty()) {
        throw BootstrapError::invalid(
            "Execute permissions differ from the release policy; the signature records them and the installer "
            "makes exactly the policy's executables 0755: " + joined(wrong) + ".");
    }
}

void requireSizes(const std::vector<BundleFile>& files) {
    std::vector<std::string> empty;
    std::int64_t total = 0;
    for (const auto& file : files) {
        total += file.bytes;
        if (file.bytes == 0) {
            empty.push_back(file.path);
        }
    }
    if (!empty.empty()) {
        throw BootstrapError::invalid("A release file holds at least one byte; empty: " + joined(empty) + ".");
    }
    if (total > BootstrapPolicy::totalLimit) {
        throw BootstrapError::invalid("The release holds " + std::to_string(total) + " bytes, over its limit of " +
                                      std::to_string(BootstrapPolicy::totalLimit) + ".");
    }
}

std::string manifestDocument(const std::string& release, const std::vector<BundleFile>& bundle,
                             std::vector<ReleaseFile>& files) {
    for (const auto& file : bundle) {
        const std::string path = inRelease(file.path);
        files.push_back({path, BootstrapPolicy::downloadBase + release + "/mac/" + path, file.bytes, file.sha256,
                         BootstrapPolicy::executables.contains(path)});
    }
    return encodeJson(ReleaseManifest{1, release, {{"mac", ReleasePlatform{BootstrapPolicy::entrypoint, files}}}});
}

// Where an https URL of the policy lives in the site tree: site/<host>/<path>.
fs::path sitePath(const fs::path& site, const std::string& url) {
    constexpr std::string_view scheme = "https://";
    return site / fs::path(url.substr(scheme.size())).relative_path();
}

// The manifest the site serves now, when it has one the policy accepts; sequence is 0 when it
// carries no signed details.
struct LiveManifest {
    ReleaseManifest manifest;
    std::int64_t sequence = 0;
};

std::optional<LiveManifest> liveManifest(const fs::path& site) {
    const fs::path path = sitePath(site, BootstrapPolicy::manifestURL);
    if (!fs::exists(fs::symlink_status(path))) {
        return std::nullopt;
    }
    const std::string document = readSmallFile(path, BootstrapPolicy::manifestLimit);
    const std::optional<SignedDetails> details = signedDetails(document);
    return LiveManifest{BootstrapPolicy::parse(document), details ? details->sequence : 0};
}

bool sameRelease(const ReleaseManifest& live, const std::vector<ReleaseFile>& files, const std::string& release) {
    return live.release == release && live.platforms.at("mac").files == files;
}

// Writes manifest (signed, under the sequence after previousSequence, when signing is given)
// and its signature. The signature goes first: a launcher that meets the old manifest with the
// new signature, or the reverse, refuses that one update and keeps its verified release.
std::int64_t writeManifest(const fs::path& site, const std::string& manifest,
                           const std::optional<ManifestSigning>& signing, std::int64_t previousSequence) {
    const fs::path path = sitePath(site, BootstrapPolicy::manifestURL);
    fs::create_directories(path.parent_path());
    if (!signing) {
        writeFileAtomically(path, manifest, Durability::flushed);
        return 0;
    }
    const SignedDetails details{previousSequence + 1, signing->expiresAt};
    const std::string document = withSignedDetails(manifest, details, ManifestTrust{});
    BootstrapPolicy::parse(document);
    writeFileAtomically(sitePath(site, ManifestSignature::url),
                        manifestSignatureFile(document, signing->privateKeyPem), Durability::flushed);
    writeFileAtomically(path, document, Durability::flushed);
    return details.sequence;
}

bool alreadyThere(const fs::path& target, const ReleaseFile& file) {
    return fs::symlink_status(target).type() == fs::file_type::regular &&
           static_cast<std::int64_t>(fs::file_size(target)) == file.bytes && fileDigest(target) == file.sha256;
}

class SiteLock {
public:
    explicit SiteLock(const fs::path& site) : path(site / ".korvel-release.lock") {
        fd = UniqueFd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd) {
            throwSystemError(errno, "open", path);
        }
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK) {
                throw BootstrapError::invalid("Another korvel-release is publishing into " + site.string() + ".");
            }
            throwSystemError(errno, "flock", path);
        }
    }

private:
    fs::path path;
    UniqueFd fd;  // closing it releases the lock
};

} // namespace

void requireReleaseBundle(const std::vector<BundleFile>& files) {
    requirePolicyFileSet(files);
    requirePolicyModes(files);
    requireSizes(files);
}

DescribedRelease describeRelease(const std::string& release, const fs::path& bundle, std::string_view publicKeyPem,
                                 const HashProgress& progress) {
    requireValidName(release);
    std::vector<BundleFile> files = listBundle(bundle);
    requireReleaseBundle(files);
    const std::vector<BundleFile> listed = signedBundleFiles(bundle, publicKeyPem);
    hashBundle(bundle, files, progress);
    requireListedFiles(listed, files);
    DescribedRelease described;
    described.manifest = manifestDocument(release, files, described.files);
    BootstrapPolicy::parse(described.manifest);
    return described;
}

std::int64_t resignManifest(const fs::path& site, const ManifestSigning& signing) {
    const SiteLock lock(site);
    const std::optional<LiveManifest> live = liveManifest(site);
    if (!live) {
        throw BootstrapError::invalid("The site has no live manifest to sign: " +
                                      sitePath(site, BootstrapPolicy::manifestURL).string() + ".");
    }
    return writeManifest(site, encodeJson(live->manifest), signing, live->sequence);
}

PublishReport publishRelease(const std::string& release, const fs::path& bundle, const fs::path& site,
                             std::string_view publicKeyPem, const PublishOptions& options,
                             const HashProgress& progress) {
    const DescribedRelease described = describeRelease(release, bundle, publicKeyPem, progress);
    fs::create_directories(site);
    const SiteLock lock(site);

    // Judge everything already published before changing anything.
    PublishReport report;
    report.manifestPath = sitePath(site, BootstrapPolicy::manifestURL);
    const std::optional<LiveManifest> live = liveManifest(site);
    const bool liveNamesSameRelease = live && sameRelease(live->manifest, described.files, release);
    std::vector<const ReleaseFile*> toWrite;
    std::set<fs::path> targets;
    std::vector<std::string> conflicts;
    for (const auto& file : described.files) {
        const fs::path target = sitePath(site, file.url);
        targets.insert(target);
        if (!fs::exists(fs::symlink_status(target))) {
            toWrite.push_back(&file);
        } else if (alreadyThere(target, file)) {
            ++report.alreadyPublished;
        } else {
            conflicts.push_back("differs: " + file.path);
        }
    }
    const fs::path releaseRoot = sitePath(site, BootstrapPolicy::downloadBase + release);
    const bool publishedBefore = fs::exists(fs::symlink_status(releaseRoot));
    std::vector<fs::path> leftovers;  // copies an interrupted run did not rename into place
    if (fs::exists(fs::symlink_status(releaseRoot))) {
        for (const auto& entry : fs::recursive_directory_iterator(releaseRoot)) {
            if (entry.symlink_status().type() == fs::file_type::directory || targets.contains(entry.path())) {
                continue;
            }
            if (entry.symlink_status().type() == fs::file_type::regular &&
                isAtomicWriteLeftover(entry.path().filename())) {
                leftovers.push_back(entry.path());
            } else {
                conflicts.push_back("unexpected: " + entry.path().lexically_relative(releaseRoot).generic_string());
            }
        }
    }
    if (!conflicts.empty()) {
        std::sort(conflicts.begin(), conflicts.end());
        throw BootstrapError::invalid("Release " + release +
                                      " is already published with other content, and a release name is never "
                                      "reused; publish under a new name. Nothing was changed.\n  " +
                                      joined(conflicts, "\n  "));
    }
    if (live && live->manifest.release != release && publishedBefore && !options.rollback) {
        throw BootstrapError::invalid("Release " + release + " was published before " + live->manifest.release +
                                      ", which is live; pointing players back at it needs --rollback. Nothing was "
                                      "changed.");
    }
    if (live && live->sequence > 0 && !options.signing && !liveNamesSameRelease) {
        throw BootstrapError::invalid("The live manifest is signed, and launchers that check signatures would refuse "
                                      "an unsigned one; publish with --manifest-key. Nothing was changed.");
    }

    for (const auto& leftover : leftovers) {
        fs::remove(leftover);
    }
    for (const ReleaseFile* file : toWrite) {
        const fs::path target = sitePath(site, file->url);
        fs::create_directories(target.parent_path());
        const fs::path source = bundle / fs::path(file->path).lexically_relative(BootstrapPolicy::app);
        copyFileDurably(source, target, [&](const fs::path& copy) {
            if (fileDigest(copy) != file->sha256) {
                throw BootstrapError::invalid(file->path + " changed while it was being published. Nothing of it was "
                                              "published; run the command again.");
            }
        });
        ++report.written;
    }

    if (!liveNamesSameRelease || (options.signing && live->sequence == 0)) {
        writeManifest(site, described.manifest, options.signing, live ? live->sequence : 0);
        report.manifestWritten = true;
    }
    return report;
}

} // namespace korvel
