#include "transport/bundle_signature.h"

#include <optional>

#include "base/ed25519.h"
#include "base/joined.h"
#include "base/posix_io.h"
#include "policy/bootstrap_error.h"
#include "transport/build_trust.h"

namespace korvel {

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t codeResourcesLimit = 1 << 20;

// Splits CodeResources into the signed listing and its last line, the signature.
std::pair<std::string_view, std::string_view> signedListing(std::string_view resources) {
    if (!resources.ends_with('\n')) {
        throw BootstrapError::invalid("CodeResources does not end with a signature line.");
    }
    const std::string_view body = resources.substr(0, resources.size() - 1);
    const std::size_t lastLine = body.rfind('\n') + 1;  // npos + 1 == 0: a single line
    return {resources.substr(0, lastLine), body.substr(lastLine)};
}

} // namespace

std::string_view buildSigningPublicKey() { return buildTrust::signingPublicKeyPem; }

std::string codeResourcesText(std::string_view listing, std::string_view privateKeyPem) {
    return std::string(listing) + signatureLine(privateKeyPem, listing) + "\n";
}

std::vector<BundleFile> signedBundleFiles(const fs::path& bundle, std::string_view publicKeyPem) {
    if (publicKeyPem.empty()) {
        throw BootstrapError::invalid("This build trusts no signing key, so it accepts no bundle.");
    }
    if (fs::symlink_status(bundle).type() != fs::file_type::directory) {
        throw BootstrapError::invalid("Not a bundle directory: " + bundle.string() + ".");
    }
    const fs::path resourcesPath = bundle / codeResourcesPath;
    if (fs::symlink_status(resourcesPath).type() == fs::file_type::not_found) {
        throw BootstrapError::invalid("The bundle is not signed: it has no " + std::string(codeResourcesPath) +
                                      ". Sign it with korvel-release sign.");
    }
    const std::optional<std::string> resources = readRegularFile(resourcesPath, codeResourcesLimit);
    if (!resources) {
        throw BootstrapError::invalid(std::string(codeResourcesPath) + " is not a regular file of at most " +
                                      std::to_string(codeResourcesLimit) + " bytes.");
    }
    const auto [listing, signature] = signedListing(*resources);
    if (!signatureLineVerifies(publicKeyPem, signature, listing)) {
        throw BootstrapError::invalid(
            "The signature does not match the listing, or was made with another key than the trusted one.");
    }
    return parseListing(listing);
}

void requireListedFiles(const std::vector<BundleFile>& listed, const std::vector<BundleFile>& actual) {
    std::vector<BundleFile> signedPart = actual;
    std::erase_if(signedPart, [](const BundleFile& file) { return file.path == codeResourcesPath; });
    const std::vector<std::string> differences = listingDifferences(listed, signedPart);
    if (!differences.empty()) {
        throw BootstrapError::invalid("The bundle differs from its signed listing:\n  " + joined(differences, "\n  "));
    }
}

void verifyBundle(const fs::path& bundle, std::string_view publicKeyPem) {
    const std::vector<BundleFile> listed = signedBundleFiles(bundle, publicKeyPem);
    requireListedFiles(listed, scanBundle(bundle));
}

} // namespace korvel
