#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "policy/release.h"

namespace korvel {

// The launcher's fixed policy. Nothing here is configurable at run time; the two host
// names are chosen when the project is built (KORVEL_WEB_HOST, KORVEL_DOWNLOAD_HOST).
// All values are built during static initialisation, before any thread starts, and are
// read-only afterwards, so any thread may read them.
struct BootstrapPolicy {
    static const std::string webHost;       // serves the manifest
    static const std::string downloadHost;  // the approved host of release files
    static const std::string manifestURL;   // "https://<web host>/online-beta/manifest.json"
    static const std::string downloadBase;  // "https://<download host>/online-beta/"
    static const std::string app;           // "Korvel_Online_Beta.app"
    static const std::string entrypoint;    // app + "/Contents/MacOS/KorvelOnlineLauncher"
    static constexpr std::int64_t manifestLimit = 131072;
    static constexpr std::int64_t totalLimit = 2147483648;
    static const std::set<std::string> paths;        // the twelve files of a release
    static const std::set<std::string> executables;  // the two of them marked executable

    // Whether a text may serve as a release name: a single safe path component.
    static bool validRelease(std::string_view name);

    // Accepts a manifest document only when it describes exactly what the policy allows.
    // Throws BootstrapError with the message of the first failing check, or the
    // DecodingError of a document that is not a manifest. Pure; safe on any thread.
    static ReleaseManifest parse(std::string_view document);
};

} // namespace korvel
