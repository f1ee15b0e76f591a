#include "policy/bootstrap_policy.h"

#include <algorithm>
#include <array>

#include "policy/bootstrap_error.h"

namespace korvel {

namespace {

std::set<std::string> bundlePaths(std::initializer_list<const char*> entries) {
    std::set<std::string> result;
    for (const char* entry : entries) {
        result.insert(std::string("Korvel_Online_Beta.app/") + entry);
    }
    return result;
}

} // namespace

const std::string BootstrapPolicy::webHost = KORVEL_WEB_HOST;
const std::string BootstrapPolicy::downloadHost = KORVEL_DOWNLOAD_HOST;
const std::string BootstrapPolicy::manifestURL = "https://" KORVEL_WEB_HOST "/online-beta/manifest.json";
const std::string BootstrapPolicy::downloadBase = "https://" KORVEL_DOWNLOAD_HOST "/online-beta/";
const std::string BootstrapPolicy::app = "Korvel_Online_Beta.app";
const std::string BootstrapPolicy::entrypoint = "Korvel_Online_Beta.app/Contents/MacOS/KorvelOnlineLauncher";

const std::set<std::string> BootstrapPolicy::paths = bundlePaths({
    "Contents/Info.plist",
    "Contents/PkgInfo",
    "Contents/_CodeSignature/CodeResources",
    "Contents/MacOS/KorvelEngine",
    "Contents/MacOS/KorvelOnlineLauncher",
    "Contents/Resources/icon.icns",
    "Contents/Resources/AUDIO_LICENSES.json",
    "Contents/Resources/online.json",
    "Contents/Resources/ENGINE_NOTICES.txt",
    "Contents/Resources/Korvel_Online.pck",
    "Contents/Resources/PrivacyInfo.xcprivacy",
    "Contents/Resources/THIRD_PARTY_LICENSES.md",
});

const std::set<std::string> BootstrapPolicy::executables = bundlePaths({
    "Contents/MacOS/KorvelEngine",
    "Contents/MacOS/KorvelOnlineLauncher",
});

namespace {

const std::string manifestTooLarge = "Release manifest exceeds its size limit.";
const std::string unsupportedManifest = "Unsupported online beta release manifest.";
const std::string unexpectedFile = "The release contains an unexpected path, URL, executable, checksum, or size.";

constexpr std::size_t maxReleaseLength = 64;

bool isAsciiAlphanumeric(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

char asciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// The rule "^[A-Za-z0-9][A-Za-z0-9._-]{0,63}$" applied to the whole text. Where a regular-
// expression search would let "$" match before one final line terminator, this admits nothing
// but the listed ASCII characters, so every line terminator (LF, CR, VT, FF, U+0085, U+2028,
// U+2029) is refused, and with them the separate line-feed and carriage-return checks hold.
bool hasNameShape(std::string_view name) {
    const auto allowed = [](char c) { return isAsciiAlphanumeric(c) || c == '.' || c == '_' || c == '-'; };
    return !name.empty() && name.size() <= maxReleaseLength && isAsciiAlphanumeric(name.front()) &&
           std::all_of(name.begin(), name.end(), allowed);
}

// Names that Windows reserves for devices, "^(CON|PRN|AUX|NUL|COM[1-9]|LPT[1-9])(\.|$)" in any
// letter case: they cannot serve as directory names there. Expects an ASCII name.
bool namesDevice(std::string_view name) {
    static constexpr std::array<std::string_view, 4> plainDevices{"CON", "PRN", "AUX", "NUL"};
    static constexpr std::array<std::string_view, 2> numberedDevices{"COM", "LPT"};
    std::string prefix(name.substr(0, 3));
    std::transform(prefix.begin(), prefix.end(), prefix.begin(), asciiUpper);
    std::size_t deviceLength = 0;
    if (std::find(plainDevices.begin(), plainDevices.end(), prefix) != plainDevices.end()) {
        deviceLength = 3;
    } else if (std::find(numberedDevices.begin(), numberedDevices.end(), prefix) != numberedDevices.end() &&
               name.size() > 3 && name[3] >= '1' && name[3] <= '9') {
        deviceLength = 4;
    }
    return deviceLength != 0 && (name.size() == deviceLength || name[deviceLength] == '.');
}

// Schema, release name, platform names, the "mac" entry, its entry point and the number of
// files. A "windows" entry is allowed and kept but never examined.
bool isSupported(const ReleaseManifest& manifest) {
    if (manifest.schema != 1 || !BootstrapPolicy::validRelease(manifest.release)) {
        return false;
    }
    const auto knownPlatform = [](const auto& entry) { return entry.first == "mac" || entry.first == "windows"; };
    if (!std::all_of(manifest.platforms.begin(), manifest.platforms.end(), knownPlatform)) {
        return false;
    }
    const auto mac = manifest.platforms.find("mac");
    return mac != manifest.platforms.end() && mac->second.entrypoint == BootstrapPolicy::entrypoint &&
           mac->second.files.size() == BootstrapPolicy::paths.size();
}

// Exactly 64 lowercase hexadecimal digits, nothing after them.
bool isDigest(const std::string& text) {
    const auto hexDigit = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
    return text.size() == 64 && std::all_of(text.begin(), text.end(), hexDigit);
}

// Each file in list order; the first one that fails decides. Because a file is only accepted
// when it fits into what remains of totalLimit, the running total never exceeds totalLimit and
// neither the subtraction nor the addition can overflow, whatever "bytes" holds.
void checkFiles(const std::vector<ReleaseFile>& files, const std::string& release) {
    std::set<std::string_view> seen;
    std::int64_t total = 0;
    for (const ReleaseFile& file : files) {
        const bool expected = BootstrapPolicy::paths.contains(file.path) && seen.insert(file.path).second &&
                              file.bytes >= 1 && file.bytes <= BootstrapPolicy::totalLimit - total &&
                              isDigest(file.sha256) &&
                              file.executable == BootstrapPolicy::executables.contains(file.path) &&
                              file.url == BootstrapPolicy::downloadBase + release + "/mac/" + file.path;
        if (!expected) {
            throw BootstrapError::invalid(unexpectedFile);
        }
        total += file.bytes;
    }
}

} // namespace

bool BootstrapPolicy::validRelease(std::string_view name) {
    return hasNameShape(name) && name.find("..") == std::string_view::npos && name.back() != '.' && !namesDevice(name);
}

// Twelve files that pass checkFiles are necessarily the twelve allowed paths, each once.
ReleaseManifest BootstrapPolicy::parse(std::string_view document) {
    if (document.size() > static_cast<std::size_t>(manifestLimit)) {
        throw BootstrapError::invalid(manifestTooLarge);
    }
    ReleaseManifest manifest = decodeJson<ReleaseManifest>(document);
    if (!isSupported(manifest)) {
        throw BootstrapError::invalid(unsupportedManifest);
    }
    checkFiles(manifest.platforms.at("mac").files, manifest.release);
    return manifest;
}

} // namespace korvel
