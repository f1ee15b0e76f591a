#include "tests/support/sample_release.h"

#include <openssl/evp.h>

#include <nlohmann/json.hpp>

#include "policy/bootstrap_policy.h"
#include "tests/support/temp_dir.h"

namespace korvel::testing {

namespace fs = std::filesystem;

std::string sha256Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    static const char* const hex = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 0xf];
    }
    return text;
}

SampleRelease makeSampleRelease(const std::string& name, std::size_t packBytes) {
    SampleRelease release{name, {}};
    for (const auto& path : BootstrapPolicy::paths) {
        release.contents[path] = "release " + name + " file " + path + "\n";
    }
    std::string pack(packBytes, '\0');
    for (std::size_t i = 0; i < pack.size(); ++i) {
        pack[i] = static_cast<char>((i * 131 + name.size()) % 251);
    }
    release.contents[BootstrapPolicy::app + "/Contents/Resources/Korvel_Online.pck"] = pack;
    return release;
}

std::vector<ReleaseFile> SampleRelease::files(const std::vector<std::string>& order) const {
    std::vector<std::string> paths = order;
    if (paths.empty()) {
        paths.assign(BootstrapPolicy::paths.begin(), BootstrapPolicy::paths.end());
    }
    std::vector<ReleaseFile> result;
    for (const auto& path : paths) {
        const std::string& bytes = contents.at(path);
        result.push_back({path, BootstrapPolicy::downloadBase + name + "/mac/" + path,
                          static_cast<std::int64_t>(bytes.size()), sha256Hex(bytes),
                          BootstrapPolicy::executables.contains(path)});
    }
    return result;
}

std::string SampleRelease::manifestJson(const std::vector<std::string>& order) const {
    nlohmann::ordered_json files = nlohmann::ordered_json::array();
    for (const auto& file : this->files(order)) {
        files.push_back({{"path", file.path},
                         {"url", file.url},
                         {"bytes", file.bytes},
                         {"sha256", file.sha256},
                         {"executable", file.executable}});
    }
    nlohmann::ordered_json document = {
        {"schema", 1},
        {"release", name},
        {"platforms", {{"mac", {{"entrypoint", BootstrapPolicy::entrypoint}, {"files", files}}}}}};
    return document.dump(2) + "\n";
}

ReleaseManifest SampleRelease::manifest() const {
    return ReleaseManifest{1, name, {{"mac", ReleasePlatform{BootstrapPolicy::entrypoint, files()}}}};
}

void SampleRelease::writeTo(const fs::path& dir, bool withManifest) const {
    for (const auto& [path, bytes] : contents) {
        writeFile(dir / path, bytes);
        fs::permissions(dir / path,
                        BootstrapPolicy::executables.contains(path) ? fs::perms(0755) : fs::perms(0644));
    }
    if (withManifest) {
        writeFile(dir / "installed-manifest.json", manifestJson());
    }
}

void SampleRelease::publishFiles(const fs::path& root) const {
    for (const auto& [path, bytes] : contents) {
        writeFile(root / "online-beta" / name / "mac" / path, bytes);
    }
}

} // namespace korvel::testing
