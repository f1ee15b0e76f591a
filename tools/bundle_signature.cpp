#include "tools/bundle_signature.h"

#include "base/atomic_write.h"
#include "tools/release_publisher.h"

namespace korvel {

namespace fs = std::filesystem;

std::vector<BundleFile> signBundle(const fs::path& bundle, std::string_view privateKeyPem,
                                   const HashProgress& progress) {
    signatureLine(privateKeyPem, {});  // a key that cannot sign fails here, not after the hashing
    std::vector<BundleFile> files = listBundle(bundle);
    requireReleaseBundle(files);
    hashBundle(bundle, files, progress);
    const std::string listing = canonicalListing(files);
    const fs::path target = bundle / codeResourcesPath;
    fs::create_directories(target.parent_path());
    writeFileAtomically(target, codeResourcesText(listing, privateKeyPem), Durability::flushed);
    std::erase_if(files, [](const BundleFile& file) { return file.path == codeResourcesPath; });
    return files;
}

} // namespace korvel
