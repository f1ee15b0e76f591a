#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "installer/operations.h"
#include "policy/release.h"

namespace korvel::test {

// A complete release that the policy accepts: the twelve bundle files with small, distinct
// contents, the pack as large as asked.
struct SampleRelease {
    std::string name;
    std::map<std::string, std::string> contents;  // policy path -> bytes

    std::vector<ReleaseFile> files() const;  // in the policy's sorted path order
    ReleaseManifest manifest() const;
    // The bundle under dir (dir/Korvel_Online_Beta.app/...): executables 0755, other files 0644.
    void writeBundle(const std::filesystem::path& dir) const;
    // What a server of this release answers: its manifest and each of its files, by URL.
    std::map<std::string, std::string> served() const;
};

SampleRelease sampleRelease(const std::string& name, std::size_t packBytes = 4096);

// Stores what network serves at url the way the real download stores a body: a fresh file,
// created exclusively with mode 0600, then progress told. A URL the network lacks fails as an
// unreachable host does (TransportError 7).
void deliver(const std::map<std::string, std::string>& network, const std::string& url,
             const std::filesystem::path& destination, const Progress& progress);

} // namespace korvel::test
