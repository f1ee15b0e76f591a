#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "transport/bundle_listing.h"

namespace korvel {

// The Ed25519 public key (PEM) this build trusts, compiled in when the project was configured:
// KORVEL_SIGNING_PUBLIC_KEY, or the throwaway key a development build made for itself.
std::string_view buildSigningPublicKey();

// The bytes of Contents/_CodeSignature/CodeResources for a canonical listing: the listing
// followed by its signatureLine (base/ed25519.h) under privateKeyPem and a line feed.
std::string codeResourcesText(std::string_view listing, std::string_view privateKeyPem);

// The files that the bundle's CodeResources lists, once its signature verifies under
// publicKeyPem. Reads CodeResources alone, so a bundle with a wrong or missing signature is
// refused before any of its files is hashed. Refuses with BootstrapError, in this order: an
// empty key, a bundle that is not a directory, a bundle without CodeResources, a
// CodeResources that is not a regular file of at most 1 MiB or does not end with a line, a
// last line that is not a signature of the listing under the key, a listing not in canonical
// form.
std::vector<BundleFile> signedBundleFiles(const std::filesystem::path& bundle, std::string_view publicKeyPem);

// Refuses with BootstrapError, one line per difference, a bundle whose files (as scanBundle
// reports them, CodeResources left out) are not exactly the listed ones.
void requireListedFiles(const std::vector<BundleFile>& listed, const std::vector<BundleFile>& actual);

// The whole check of a signed bundle, what korvel-codesign runs and what the launcher runs
// in process on Linux: signedBundleFiles, then every file scanned and compared, links and
// special files refused. Every file is opened without following a link and without blocking,
// and judged on its descriptor, so neither a link nor a FIFO can redirect or hang the check.
// Platform failures (an unreadable directory, a file that vanished) pass unchanged.
void verifyBundle(const std::filesystem::path& bundle, std::string_view publicKeyPem);

} // namespace korvel
