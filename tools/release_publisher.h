#pragma once

#include <filesystem>
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
PublishReport publishRelease(const std::string& release, const std::filesystem::path& bundle,
                             const std::filesystem::path& site, std::string_view publicKeyPem,
                             const HashProgress& progress = {});

} // namespace korvel
