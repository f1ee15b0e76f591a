#pragma once

#include <filesystem>
#include <string_view>
#include <vector>

#include "base/ed25519.h"
#include "transport/bundle_signature.h"

namespace korvel {

// Signs the bundle as it is now: its canonical listing, signed with privateKeyPem, becomes
// Contents/_CodeSignature/CodeResources (codeResourcesText), replacing any earlier signature
// in one flushed rename, so a reader never sees a half-written file. Answers the files the
// listing lists. Refuses with BootstrapError a directory that is not a release bundle
// (requireReleaseBundle), and throws CryptoError for a key that is not an Ed25519 private key;
// both before any file is hashed.
std::vector<BundleFile> signBundle(const std::filesystem::path& bundle, std::string_view privateKeyPem,
                                   const HashProgress& progress = {});

} // namespace korvel
