#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "policy/release.h"
#include "transport/bundle_listing.h"

namespace korvel {

// Refuses with BootstrapError, naming the culprits, files (as listBundle lists them) that are
// not the bundle of a release the launcher would install: a file set other than the policy's
// twelve paths (listing the missing and the unexpected ones); execute permissions that differ
// from the policy's executables (the signature records them, and the installer gives exactly
// those files mode 0755); empty files; a release over the total size limit. CodeResources may
// be missing: a bundle about to be signed has none, and the signature check refuses an
// unsigned one in its own words.
void requireReleaseBundle(const std::vector<BundleFile>& files);

// A bundle described as the release a launcher will accept.
struct DescribedRelease {
    std::string manifest;             // the manifest document, accepted by BootstrapPolicy::parse
    std::vector<ReleaseFile> files;   // its "mac" files, in the document's order (by path)
};

// Describes bundle (the Korvel_Online_Beta.app directory itself) as release. Refuses, with
// BootstrapError naming the culprits: an invalid release name; links or special files; a
// bundle requireReleaseBundle refuses; then a signature that does not verify under
// publicKeyPem (unsigned, signed with another key) and, once every file is hashed, a file that
// differs from the signed listing. The finished document is run through
// BootstrapPolicy::parse before it is returned, so what this returns is accepted.
DescribedRelease describeRelease(const std::string& release, const std::filesystem::path& bundle,
                                 std::string_view publicKeyPem, const HashProgress& progress = {});

// How korvel-release signs the manifests it writes, for launchers built with manifest keys.
struct ManifestSigning {
    std::string privateKeyPem;
    std::int64_t expiresAt = 0;  // Unix seconds
};

// A manifest signed without --expires-at is valid for this long: long enough that a missed
// renewal (korvel-release resign, meant for a daily job) is noticed before players are,
// short enough that a replayed manifest soon stops working.
inline constexpr std::int64_t defaultManifestLifetimeSeconds = 30 * 24 * 3600;

struct PublishOptions {
    std::optional<ManifestSigning> signing;  // none: the manifest is published unsigned
    // The live manifest may be pointed back at a release published before it; without this a
    // release name that is already on the site but not live is refused.
    bool rollback = false;
};

struct PublishReport {
    int written = 0;                       // release files copied by this run
    int alreadyPublished = 0;              // release files found identical and left alone
    bool manifestWritten = false;          // false when the site already served this manifest
    std::filesystem::path manifestPath;
};

// Writes release into the static site tree under site, laid out as the URLs the launcher
// requests: site/<web host>/online-beta/manifest.json and
// site/<download host>/online-beta/<release>/mac/<path>. Nothing is written before the bundle
// is described (describeRelease, signature included). A release name is immutable: when
// anything already published under it differs from the bundle (another file, an extra file)
// nothing is changed and BootstrapError lists the differences; an identical re-publish only
// (re)writes the manifest. Files go first and the manifest last, each by one rename, so a
// server never hands out a manifest whose files are not all in place. One publisher at a
// time per site (a lock file in site).
//
// With signing, the manifest carries the next sequence number (one more than the live
// manifest's, or 1) and the expiry, and its signature is written beside it as
// manifest.json.sig. An unsigned publication over a signed live manifest is refused: launchers
// that check signatures would refuse it. A manifest that already names this release with the
// same files is left as it is (korvel-release resign renews it).
PublishReport publishRelease(const std::string& release, const std::filesystem::path& bundle,
                             const std::filesystem::path& site, std::string_view publicKeyPem,
                             const PublishOptions& options = {}, const HashProgress& progress = {});

// Renews the live manifest of site: the same release under the next sequence number and a new
// expiry, signed again. Refuses a site without a live manifest that the policy accepts. Answers
// the new sequence number.
std::int64_t resignManifest(const std::filesystem::path& site, const ManifestSigning& signing);

} // namespace korvel
