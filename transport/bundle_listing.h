#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel {

// One regular file of an application bundle, as the signed listing records it.
struct BundleFile {
    std::string path;        // relative to the bundle directory, "/"-separated
    std::int64_t bytes = 0;
    std::string sha256;      // lowercase hexadecimal
    bool executable = false; // any of the three execute permission bits set

    friend bool operator==(const BundleFile&, const BundleFile&) = default;
};

// Where the signature lives inside a bundle. Its own bytes are never part of the listing.
inline constexpr std::string_view codeResourcesPath = "Contents/_CodeSignature/CodeResources";

// Told which file is being hashed, the bytes of the bundle hashed so far and the total.
using HashProgress = std::function<void(const std::string& path, std::int64_t done, std::int64_t total)>;

// Every regular file under bundle, sorted by path (byte order), CodeResources included,
// with sizes and executable marks but no digests yet. Refuses, naming the offending
// entries, a bundle that is not a directory or that holds symbolic links, anything but
// regular files and directories, or a file name with a line break. Platform failures
// (unreadable directory, vanished file) are passed on unchanged.
std::vector<BundleFile> listBundle(const std::filesystem::path& bundle);

// Fills in the digests of files listed by listBundle, reporting progress as it reads. A file
// that is no longer the regular file of the listed size (replaced by a link, say) is refused.
void hashBundle(const std::filesystem::path& bundle, std::vector<BundleFile>& files, const HashProgress& progress = {});

// listBundle and hashBundle together.
std::vector<BundleFile> scanBundle(const std::filesystem::path& bundle, const HashProgress& progress = {});

// The canonical listing that a bundle signature covers: every file except CodeResources,
// sorted by path. The byte format (docs/release-format.md):
//   "korvel bundle listing 1\n"
//   one line per file: <sha256> " " <bytes, decimal> " " <"x" or "-"> " " <path> "\n"
std::string canonicalListing(std::vector<BundleFile> files);

// The inverse of canonicalListing, accepting only its exact output (header, field forms,
// strictly ascending paths, no CodeResources, no "." or ".." components). Anything else
// throws BootstrapError.
std::vector<BundleFile> parseListing(std::string_view listing);

// What differs between the files a listing names and the files a bundle holds, one
// line per difference ("missing: P", "unlisted: P", "changed: P", "executable mark
// changed: P"), in path order; empty when they agree. Both lists sorted by path.
std::vector<std::string> listingDifferences(const std::vector<BundleFile>& listed,
                                            const std::vector<BundleFile>& actual);

} // namespace korvel
