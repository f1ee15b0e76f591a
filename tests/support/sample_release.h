#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "policy/release.h"

namespace korvel::testing {

// A complete release that the policy accepts: the twelve bundle files with small,
// distinct contents (the pack file can be made larger), and a manifest describing them.
struct SampleRelease {
    std::string name;
    std::map<std::string, std::string> contents;  // policy path -> file bytes

    // The release's files as a manifest lists them, in the given path order
    // (default: the policy's sorted order).
    std::vector<ReleaseFile> files(const std::vector<std::string>& order = {}) const;

    // A manifest document the policy accepts, formatted with two-space indentation.
    std::string manifestJson(const std::vector<std::string>& order = {}) const;
    ReleaseManifest manifest() const;

    // Writes the bundle under dir (dir/Korvel_Online_Beta.app/...), with mode 0755 for the
    // executables and 0644 otherwise. With withManifest, also dir/installed-manifest.json.
    void writeTo(const std::filesystem::path& dir, bool withManifest = true) const;

    // The server-side layout: root/online-beta/<name>/mac/<path> for every file.
    void publishFiles(const std::filesystem::path& root) const;
};

SampleRelease makeSampleRelease(const std::string& name, std::size_t packBytes = 4096);

std::string sha256Hex(const std::string& bytes);

} // namespace korvel::testing
