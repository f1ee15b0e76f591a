#include "policy/bootstrap_policy.h"

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

} // namespace korvel
