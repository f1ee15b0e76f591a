#include "transport/bundle_listing.h"

#include <algorithm>
#include <cerrno>
#include <charconv>

#include <fcntl.h>
#include <sys/stat.h>

#include "base/joined.h"
#include "base/posix_io.h"
#include "base/sha256.h"
#include "base/system_error.h"
#include "base/unique_fd.h"
#include "policy/bootstrap_error.h"

namespace korvel {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view listingHeader = "korvel bundle listing 1\n";

bool anyExecuteBit(fs::perms permissions) {
    constexpr fs::perms execute = fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
    return (permissions & execute) != fs::perms::none;
}

bool lowerHex(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// Decimal without sign or leading zeros, as canonicalListing writes it.
bool canonicalCount(std::string_view text, std::int64_t& value) {
    if (text.empty() || (text.size() > 1 && text[0] == '0')) {
        return false;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value >= 0;
}

bool safeRelativePath(std::string_view path) {
    if (path.empty() || path.front() == '/' || path.back() == '/') {
        return false;
    }
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view component = path.substr(start, end - start);
        if (component.empty() || component == "." || component == "..") {
            return false;
        }
        start = end + 1;
    }
    return path.find('\0') == std::string_view::npos;
}

std::vector<std::string_view> fieldsOf(std::string_view line) {
    std::vector<std::string_view> fields;
    for (int i = 0; i < 3; ++i) {
        const std::size_t blank = line.find(' ');
        if (blank == std::string_view::npos) {
            return {};
        }
        fields.push_back(line.substr(0, blank));
        line.remove_prefix(blank + 1);
    }
    fields.push_back(line);  // the path, which may itself hold blanks
    return fields;
}

} // namespace

std::vector<BundleFile> listBundle(const fs::path& bundle) {
    if (fs::symlink_status(bundle).type() != fs::file_type::directory) {
        throw BootstrapError::invalid("Not a bundle directory: " + bundle.string() + ".");
    }
    std::vector<BundleFile> files;
    std::vector<std::string> links;
    std::vector<std::string> irregular;
    for (const auto& entry : fs::recursive_directory_iterator(bundle)) {
        const fs::file_status status = entry.symlink_status();
        std::string path = entry.path().lexically_relative(bundle).generic_string();
        if (status.type() == fs::file_type::directory) {
            continue;
        }
        if (status.type() == fs::file_type::symlink) {
            links.push_back(std::move(path));
        } else if (status.type() != fs::file_type::regular || path.find('\n') != std::string::npos) {
            irregular.push_back(std::move(path));
        } else {
            const auto bytes = static_cast<std::int64_t>(entry.file_size());
            files.push_back({std::move(path), bytes, {}, anyExecuteBit(status.permissions())});
        }
    }
    std::sort(links.begin(), links.end());
    std::sort(irregular.begin(), irregular.end());
    if (!links.empty()) {
        throw BootstrapError::invalid("The bundle holds symbolic links, which are not allowed: " + joined(links) + ".");
    }
    if (!irregular.empty()) {
        throw BootstrapError::invalid(
            "The bundle holds entries that are not regular files or directories, or whose names hold a line break: " +
            joined(irregular) + ".");
    }

    std::sort(files.begin(), files.end(), [](const BundleFile& a, const BundleFile& b) { return a.path < b.path; });
    return files;
}

void hashBundle(const fs::path& bundle, std::vector<BundleFile>& files, const HashProgress& progress) {
    std::int64_t total = 0;
    for (const auto& file : files) {
        total += file.bytes;
    }
    std::int64_t done = 0;
    std::vector<char> buffer(digestChunkBytes);
    for (auto& file : files) {
        const fs::path path = bundle / file.path;
        // No link is followed and nothing but the regular file that was listed is read, even
        // if the entry was replaced since it was listed; O_NONBLOCK so that a FIFO swapped in
        // cannot hang the open before its type is judged on the descriptor.
        const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!fd) {
            throwSystemError(errno, "open", path);
        }
        struct stat status {};
        if (::fstat(fd.get(), &status) != 0) {
            throwSystemError(errno, "fstat", path);
        }
        if (!S_ISREG(status.st_mode) || status.st_size != file.bytes) {
            throw BootstrapError::invalid("The bundle changed while it was being read: " + file.path + ".");
        }
        Sha256 digest;
        std::int64_t hashed = 0;
        while (const std::size_t count = readSome(fd.get(), buffer.data(), buffer.size(), path)) {
            digest.update(buffer.data(), count);
            hashed += static_cast<std::int64_t>(count);
            if (progress) {
                progress(file.path, done + hashed, total);
            }
        }
        if (hashed != file.bytes) {
            throw BootstrapError::invalid("The bundle changed while it was being read: " + file.path + ".");
        }
        file.sha256 = digest.finishHex();
        done += file.bytes;
    }
}

std::vector<BundleFile> scanBundle(const fs::path& bundle, const HashProgress& progress) {
    std::vector<BundleFile> files = listBundle(bundle);
    hashBundle(bundle, files, progress);
    return files;
}

std::string canonicalListing(std::vector<BundleFile> files) {
    std::erase_if(files, [](const BundleFile& file) { return file.path == codeResourcesPath; });
    std::sort(files.begin(), files.end(), [](const BundleFile& a, const BundleFile& b) { return a.path < b.path; });
    std::string listing(listingHeader);
    for (const auto& file : files) {
        listing += file.sha256 + ' ' + std::to_string(file.bytes) + ' ' + (file.executable ? 'x' : '-') + ' ' +
                   file.path + '\n';
    }
    return listing;
}

std::vector<BundleFile> parseListing(std::string_view listing) {
    if (!listing.starts_with(listingHeader)) {
        throw BootstrapError::invalid("The signed listing does not begin with its header.");
    }
    listing.remove_prefix(listingHeader.size());
    std::vector<BundleFile> files;
    for (int line = 2; !listing.empty(); ++line) {
        const std::size_t end = listing.find('\n');
        const auto refuse = [line] {
            return BootstrapError::invalid("The signed listing does not parse at line " + std::to_string(line) + ".");
        };
        if (end == std::string_view::npos) {
            throw refuse();
        }
        const auto fields = fieldsOf(listing.substr(0, end));
        listing.remove_prefix(end + 1);
        BundleFile file;
        if (fields.size() != 4 || fields[0].size() != 64 || !lowerHex(fields[0]) ||
            !canonicalCount(fields[1], file.bytes) || (fields[2] != "x" && fields[2] != "-") ||
            !safeRelativePath(fields[3]) || fields[3] == codeResourcesPath ||
            (!files.empty() && !(files.back().path < fields[3]))) {
            throw refuse();
        }
        file.sha256 = fields[0];
        file.executable = fields[2] == "x";
        file.path = fields[3];
        files.push_back(std::move(file));
    }
    return files;
}

std::vector<std::string> listingDifferences(const std::vector<BundleFile>& listed,
                                            const std::vector<BundleFile>& actual) {
    std::vector<std::string> differences;
    auto want = listed.begin();
    auto have = actual.begin();
    while (want != listed.end() || have != actual.end()) {
        if (have == actual.end() || (want != listed.end() && want->path < have->path)) {
            differences.push_back("missing: " + (want++)->path);
        } else if (want == listed.end() || have->path < want->path) {
            differences.push_back("unlisted: " + (have++)->path);
        } else {
            if (want->bytes != have->bytes || want->sha256 != have->sha256) {
                differences.push_back("changed: " + want->path);
            } else if (want->executable != have->executable) {
                differences.push_back("executable mark changed: " + want->path);
            }
            ++want;
            ++have;
        }
    }
    return differences;
}

} // namespace korvel
