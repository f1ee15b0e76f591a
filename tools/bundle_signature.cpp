#include "tools/bundle_signature.h"

#include <vector>

#include "base/ed25519.h"
#include "policy/bootstrap_error.h"
#include "tools/bundle_listing.h"
#include "tools/tool_files.h"

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

std::string codeResources(const fs::path& bundle, std::string_view privateKeyPem) {
    const std::string listing = canonicalListing(scanBundle(bundle));
    return listing + signatureLine(privateKeyPem, listing) + "\n";
}

void signBundle(const fs::path& bundle, std::string_view privateKeyPem) {
    const std::string resources = codeResources(bundle, privateKeyPem);
    const fs::path target = bundle / codeResourcesPath;
    fs::create_directories(target.parent_path());
    writeFileAtomically(target, resources, Durability::flushed);
}

void verifyBundle(const fs::path& bundle, std::string_view publicKeyPem) {
    if (publicKeyPem.empty()) {
        throw BootstrapError::invalid("This build trusts no signing key, so it accepts no bundle.");
    }
    if (fs::symlink_status(bundle).type() != fs::file_type::directory) {
        throw BootstrapError::invalid("Not a bundle directory: " + bundle.string() + ".");
    }
    const std::string resources = readSmallFile(bundle / codeResourcesPath, codeResourcesLimit);
    const auto [listing, signature] = signedListing(resources);
    if (!signatureLineVerifies(publicKeyPem, signature, listing)) {
        throw BootstrapError::invalid("The signature does not match the listing, or was made with another key.");
    }
    const std::vector<BundleFile> listed = parseListing(listing);
    std::vector<BundleFile> actual = scanBundle(bundle);
    std::erase_if(actual, [](const BundleFile& file) { return file.path == codeResourcesPath; });
    const std::vector<std::string> differences = listingDifferences(listed, actual);
    if (!differences.empty()) {
        std::string text = "The bundle differs from its signed listing:";
        for (const auto& difference : differences) {
            text += "\n  " + difference;
        }
        throw BootstrapError::invalid(text);
    }
}

} // namespace korvel
