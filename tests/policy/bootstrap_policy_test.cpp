#include "policy/bootstrap_policy.h"

#include <algorithm>
#include <functional>
#include <limits>

#include <gtest/gtest.h>

#include "policy/bootstrap_error.h"
#include "tests/policy/manifest_json.h"
#include "tests/support/expect_error.h"

namespace korvel {
namespace {

using nlohmann::json;
using testing::macFile;
using testing::macFiles;
using testing::sampleManifestJson;
using testing::throwsBootstrapError;

const std::string tooLarge = "Release manifest exceeds its size limit.";
const std::string unsupported = "Unsupported online beta release manifest.";
const std::string unexpectedFile = "The release contains an unexpected path, URL, executable, checksum, or size.";

TEST(BootstrapPolicyTest, ValidReleaseAdmitsOnlySafeSingleComponentNames) {
    const struct {
        std::string name;
        bool valid;
    } cases[] = {
        {"b", true},
        {std::string(64, 'a'), true},
        {std::string(65, 'a'), false},
        {"", false},
        {"beta-7_rc.2", true},
        {".beta", false},
        {"-beta", false},
        {"_beta", false},
        {"a.b", true},
        {"a..b", false},
        {"beta.", false},
        {"a b", false},
        {"a/b", false},
        {"b\xC3\xA9ta", false},  // é
        {std::string("a\0b", 3), false},
        // A trailing line terminator of any kind, which a "$"-anchored search would let through.
        {"beta\n", false},
        {"beta\r", false},
        {"beta\v", false},
        {"beta\f", false},
        {"beta\xC2\x85", false},      // U+0085
        {"beta\xE2\x80\xA8", false},  // U+2028
        {"beta\xE2\x80\xA9", false},  // U+2029
        {"CON", false},
        {"con", false},
        {"Con.1", false},
        {"NUL.x", false},
        {"com1", false},
        {"LPT9", false},
        {"prn", false},
        {"aux.", false},
        {"CONSOLE", true},
        {"COM0", true},
        {"LPT10", true},
        {"AUX-1", true},
        {"NULL", true},
    };
    for (const auto& [name, valid] : cases) {
        EXPECT_EQ(BootstrapPolicy::validRelease(name), valid) << "release name \"" << name << "\"";
    }
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST(BootstrapPolicyTest, ParseRefusesEachViolationWithTheMessageOfItsCheck) {
    const std::string engine = BootstrapPolicy::app + "/Contents/MacOS/KorvelEngine";
    const std::string downloadHost = replaced(BootstrapPolicy::downloadBase.substr(8), "/online-beta/", "");
    const auto changeFirstUrl = [](std::function<std::string(const std::string&)> change) {
        return [change](json& manifest) {
            json& url = macFiles(manifest)[0]["url"];
            url = change(url.get<std::string>());
        };
    };
    const struct {
        std::string name;
        std::function<void(json&)> change;
        std::string message;
    } cases[] = {
        {"schema 2", [](json& m) { m["schema"] = 2; }, unsupported},
        {"schema 2 and a malformed digest", [](json& m) { m["schema"] = 2; macFiles(m)[0]["sha256"] = "x"; },
         unsupported},
        {"release ending in a dot", [](json& m) { m["release"] = "beta."; }, unsupported},
        {"only windows", [](json& m) { m["platforms"] = {{"windows", m["platforms"]["mac"]}}; }, unsupported},
        {"mac and a third platform", [](json& m) { m["platforms"]["linux"] = m["platforms"]["mac"]; }, unsupported},
        {"mac and Mac", [](json& m) { m["platforms"]["Mac"] = m["platforms"]["mac"]; }, unsupported},
        {"empty platforms", [](json& m) { m["platforms"] = json::object(); }, unsupported},
        {"engine as entry point", [&](json& m) { m["platforms"]["mac"]["entrypoint"] = engine; }, unsupported},
        {"eleven files", [](json& m) { macFiles(m).erase(11); }, unsupported},
        {"thirteen files", [](json& m) { macFiles(m).push_back(macFiles(m)[0]); }, unsupported},
        {"sixty-five files",
         [](json& m) {
             while (macFiles(m).size() < 65) {
                 macFiles(m).push_back(macFiles(m)[0]);
             }
         },
         unsupported},
        {"path outside the set", [](json& m) { macFiles(m)[0]["path"] = BootstrapPolicy::app + "/Contents/extra"; },
         unexpectedFile},
        {"path in another letter case",
         [](json& m) { macFile(m, "Contents/PkgInfo")["path"] = BootstrapPolicy::app + "/Contents/PKGINFO"; },
         unexpectedFile},
        {"one path twice, another missing", [](json& m) { macFiles(m)[5] = macFiles(m)[4]; }, unexpectedFile},
        {"zero bytes", [](json& m) { macFiles(m)[0]["bytes"] = 0; }, unexpectedFile},
        {"negative bytes", [](json& m) { macFiles(m)[0]["bytes"] = -1; }, unexpectedFile},
        {"largest int64 bytes",
         [](json& m) { macFiles(m)[0]["bytes"] = std::numeric_limits<std::int64_t>::max(); }, unexpectedFile},
        {"uppercase digest",
         [](json& m) {
             std::string digest = macFiles(m)[0]["sha256"];
             std::transform(digest.begin(), digest.end(), digest.begin(), ::toupper);
             macFiles(m)[0]["sha256"] = digest;
         },
         unexpectedFile},
        {"63 digits", [](json& m) { macFiles(m)[0]["sha256"] = std::string(63, 'a'); }, unexpectedFile},
        {"65 digits", [](json& m) { macFiles(m)[0]["sha256"] = std::string(65, 'a'); }, unexpectedFile},
        {"64 digits and a line feed", [](json& m) { macFiles(m)[0]["sha256"] = std::string(64, 'a') + "\n"; },
         unexpectedFile},
        {"executable Info.plist", [](json& m) { macFile(m, "Contents/Info.plist")["executable"] = true; },
         unexpectedFile},
        {"engine not executable", [](json& m) { macFile(m, "Contents/MacOS/KorvelEngine")["executable"] = false; },
         unexpectedFile},
        {"http address", changeFirstUrl([](const std::string& url) { return replaced(url, "https:", "http:"); }),
         unexpectedFile},
        {"another host",
         changeFirstUrl([&](const std::string& url) { return replaced(url, downloadHost, "elsewhere.example"); }),
         unexpectedFile},
        {"host in another letter case",
         changeFirstUrl([&](const std::string& url) {
             std::string host = downloadHost;
             std::transform(host.begin(), host.end(), host.begin(), ::toupper);
             return replaced(url, downloadHost, host);
         }),
         unexpectedFile},
        {"another release name",
         changeFirstUrl([](const std::string& url) { return replaced(url, "/beta-7/", "/beta-6/"); }),
         unexpectedFile},
        {"windows segment", changeFirstUrl([](const std::string& url) { return replaced(url, "/mac/", "/windows/"); }),
         unexpectedFile},
        {"trailing slash", changeFirstUrl([](const std::string& url) { return url + "/"; }), unexpectedFile},
        {"added query", changeFirstUrl([](const std::string& url) { return url + "?v=2"; }), unexpectedFile},
    };
    for (const auto& [name, change, message] : cases) {
        json manifest = sampleManifestJson();
        change(manifest);
        EXPECT_TRUE(throwsBootstrapError([&] { BootstrapPolicy::parse(manifest.dump()); }, message)) << name;
    }
}

TEST(BootstrapPolicyTest, ParseChecksTheSizeBeforeDecodingAtExactly131072Bytes) {
    const std::string manifest = testing::makeSampleRelease("beta-7").manifestJson();
    const std::string notJson(131073, '{');
    const struct {
        std::string name;
        std::string document;
        std::string message;
    } cases[] = {
        {"valid manifest of 131072 bytes", manifest + std::string(131072 - manifest.size(), ' '), ""},
        {"valid manifest of 131073 bytes", manifest + std::string(131073 - manifest.size(), ' '), tooLarge},
        {"131073 bytes that are not JSON", notJson, tooLarge},
    };
    for (const auto& [name, document, message] : cases) {
        EXPECT_TRUE(throwsBootstrapError([&] { BootstrapPolicy::parse(document); }, message)) << name;
    }
}

TEST(BootstrapPolicyTest, ParsePassesOnTheDecodingErrorBeforeAnyPolicyCheck) {
    json manifest = sampleManifestJson();
    manifest["schema"] = 2;
    macFiles(manifest)[3].erase("sha256");
    try {
        BootstrapPolicy::parse(manifest.dump());
        FAIL() << "a file without sha256 was accepted";
    } catch (const DecodingError& error) {
        EXPECT_EQ(error.kind(), DecodingError::Kind::keyNotFound) << error.what();
        EXPECT_EQ(error.codingPath(), "platforms.mac.files[3].sha256");
    }
}

TEST(BootstrapPolicyTest, ParseBoundsTheRunningTotalOfFileSizesByTotalLimit) {
    constexpr std::int64_t limit = BootstrapPolicy::totalLimit;
    constexpr std::int64_t largest = std::numeric_limits<std::int64_t>::max();
    const struct {
        std::string name;
        std::vector<std::int64_t> leadingSizes;  // the remaining files have one byte each
        std::string message;
    } cases[] = {
        {"sum exactly totalLimit", {limit - 11}, ""},
        {"one byte over, the large file first", {limit - 10}, unexpectedFile},
        {"one byte over, the large file last", {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, limit - 10}, unexpectedFile},
        {"one file over totalLimit by itself", {limit + 1}, unexpectedFile},
        {"the largest int64 after a large file", {limit - 11, largest}, unexpectedFile},
    };
    for (const auto& [name, leadingSizes, message] : cases) {
        json manifest = sampleManifestJson();
        for (std::size_t index = 0; index < macFiles(manifest).size(); ++index) {
            macFiles(manifest)[index]["bytes"] = index < leadingSizes.size() ? leadingSizes[index] : 1;
        }
        EXPECT_TRUE(throwsBootstrapError([&] { BootstrapPolicy::parse(manifest.dump()); }, message)) << name;
    }
}

TEST(BootstrapPolicyTest, ParseReturnsTheFilesInDocumentOrder) {
    const auto release = testing::makeSampleRelease("beta-7");
    const std::vector<std::string> reversed(BootstrapPolicy::paths.rbegin(), BootstrapPolicy::paths.rend());
    const ReleaseManifest manifest = BootstrapPolicy::parse(release.manifestJson(reversed));
    EXPECT_EQ(manifest.schema, 1);
    EXPECT_EQ(manifest.release, "beta-7");
    EXPECT_EQ(manifest.platforms.at("mac").files, release.files(reversed));
}

TEST(BootstrapPolicyTest, ParseKeepsAWindowsEntryWithoutExaminingIt) {
    json manifest = sampleManifestJson();
    manifest["platforms"]["windows"] = {
        {"entrypoint", "KorvelOnline.exe"},
        {"files",
         {{{"path", "../anything"}, {"url", "ftp://x"}, {"bytes", -5}, {"sha256", ""}, {"executable", true}}}}};
    const ReleaseManifest parsed = BootstrapPolicy::parse(manifest.dump());
    ASSERT_TRUE(parsed.platforms.contains("windows"));
    EXPECT_EQ(parsed.platforms.at("windows").entrypoint, "KorvelOnline.exe");
    EXPECT_EQ(parsed.platforms.at("windows").files,
              (std::vector<ReleaseFile>{{"../anything", "ftp://x", -5, "", true}}));
}

} // namespace
} // namespace korvel
