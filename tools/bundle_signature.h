#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "base/ed25519.h"

namespace korvel {

// The bytes of Contents/_CodeSignature/CodeResources for the bundle as it is now: its
// canonical listing (bundle_listing.h) followed by one line
//   "ed25519 " <base64 of the 64-byte Ed25519 signature over the listing bytes> "\n".
// Throws BootstrapError for a bundle scanBundle refuses, CryptoError for a key that is not
// an Ed25519 private key.
std::string codeResources(const std::filesystem::path& bundle, std::string_view privateKeyPem);

// Writes codeResources(bundle, key) into the bundle, replacing any earlier signature in one
// rename, so a reader never sees a half-written file.
void signBundle(const std::filesystem::path& bundle, std::string_view privateKeyPem);

// Passes only when CodeResources is a regular file of at most 1 MiB, its signature verifies
// under publicKeyPem, its listing parses, and the bundle holds exactly the listed files with
// the listed sizes, digests and executable marks, and no links or special files. Otherwise
// throws BootstrapError saying what is wrong. An empty key refuses every bundle.
void verifyBundle(const std::filesystem::path& bundle, std::string_view publicKeyPem);

} // namespace korvel
