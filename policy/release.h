#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace korvel {

// One file of a release, as listed in a manifest.
struct ReleaseFile {
    std::string path;       // "/"-separated, relative to the release directory
    std::string url;        // kept and compared as text, never parsed here
    std::int64_t bytes = 0;
    std::string sha256;     // 64 lowercase hexadecimal digits in an accepted manifest
    bool executable = false;

    friend bool operator==(const ReleaseFile&, const ReleaseFile&) = default;
};

struct ReleasePlatform {
    std::string entrypoint;
    std::vector<ReleaseFile> files;  // document order
};

struct ReleaseManifest {
    std::int64_t schema = 0;
    std::string release;
    std::map<std::string, ReleasePlatform> platforms;
};

// The selection record "current.json".
struct CurrentRelease {
    std::int64_t schema = 0;
    std::string release;
};

// Why a JSON document did not decode into a record. codingPath() names the member that
// failed, e.g. "platforms.mac.files[3].sha256"; it is empty when the document itself is
// at fault (not JSON at all, or not an object).
class DecodingError : public std::runtime_error {
public:
    enum class Kind { typeMismatch, keyNotFound, valueNotFound, dataCorrupted };

    DecodingError(Kind kind, std::string codingPath, const std::string& description);

    Kind kind() const { return kind_; }
    const std::string& codingPath() const { return codingPath_; }

private:
    Kind kind_;
    std::string codingPath_;
};

// Decodes one record from a JSON document. Members are read in declaration order and the
// first one that fails decides the error; members of other names are ignored at every
// level. Throws DecodingError, never BootstrapError: acceptance rules live in the policy.
// Defined for ReleaseFile, ReleasePlatform, ReleaseManifest and CurrentRelease.
template <class Record>
Record decodeJson(std::string_view document);

template <> ReleaseFile decodeJson<ReleaseFile>(std::string_view document);
template <> ReleasePlatform decodeJson<ReleasePlatform>(std::string_view document);
template <> ReleaseManifest decodeJson<ReleaseManifest>(std::string_view document);
template <> CurrentRelease decodeJson<CurrentRelease>(std::string_view document);

// Compact JSON for the selection record, the one document the launcher writes itself.
std::string encodeJson(const CurrentRelease& record);

// A manifest as the release tooling publishes it: members in the order decodeJson reads them,
// indented by two, ending in a newline. decodeJson<ReleaseManifest> gives back an equal record.
std::string encodeJson(const ReleaseManifest& manifest);

} // namespace korvel
