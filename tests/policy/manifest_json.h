#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "policy/bootstrap_policy.h"
#include "tests/support/sample_release.h"

namespace korvel::testing {

// The sample release's accepted manifest as an editable tree, for tests that change one
// detail of an otherwise valid document. Files are in the policy's sorted path order.
inline nlohmann::json sampleManifestJson(const std::string& release = "beta-7") {
    return nlohmann::json::parse(makeSampleRelease(release).manifestJson());
}

inline nlohmann::json& macFiles(nlohmann::json& manifest) { return manifest["platforms"]["mac"]["files"]; }

// The listed file with this path after the bundle prefix, e.g. "Contents/Info.plist".
inline nlohmann::json& macFile(nlohmann::json& manifest, const std::string& bundlePath) {
    for (auto& file : macFiles(manifest)) {
        if (file["path"] == BootstrapPolicy::app + "/" + bundlePath) {
            return file;
        }
    }
    throw std::out_of_range("sample manifest lists no " + bundlePath);
}

} // namespace korvel::testing
