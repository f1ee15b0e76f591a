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
using namespace testing;

const std::string tooLarge = "Release manifest exceeds its size limit.";
const std::string unsupported = "Unsupported online beta release manifest.";
const std::string unexpectedFile = "The release contains an unexpected path, URL, executable, checksum, or size.";

TEST(BootstrapPolicyTest, ValidReleaseAdmitsOnlySafeSingleComponentNames) {
    using Names = std::initializer_list<std::string>;
    for (const std::string& name :
         Names{"b", std::string(64, 'a'), "beta-7_rc.2", "a.b", "CONSOLE", "COM0", "LPT10", "AUX-1", "NULL"}) {
        EXPECT_TRUE(BootstrapPolicy::validRelease(name)) << "release name \"" << name << "\"";
    }
    for (const std::string& name : Names{
             std::string(65, 'a'), "", ".beta", "-beta", "_beta", "a..b", "beta.", "a b", "a/b", "b\xC3\xA9ta",
             std::string("a\0b", 3),
             // A trailing line terminator of any kind, which a "$"-anchored search would let through.
             "beta\n", "beta\r", "beta\v", "beta\f", "beta\xC2\x85", "beta\xE2\x80\xA8", "beta\xE2\x80\xA9",
             // Device names, whatever the case and extension.
             "CON", "con", "Con.1", "NUL.x", "com1", "LPT9", "prn", "aux."}) {
        EXPECT_FALSE(BootstrapPolicy::validRelease(name)) << "release name \"" << name << "\"";
    }
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), ::toupper);
    return text;
}

TEST(BootstrapPolicyTest, ParseRefusesEachViolationWithTheMessageOfItsCheck) {
    const std::string engine = BootstrapPolicy::app + "/Contents/MacOS/KorvelEngine";
    const std::string downloadHost = replaced(BootstrapPolicy::downloadBase.substr(8), "/online-beta/", "");
    json sample = sampleManifestJson();
    const json first = macFiles(sample)[0];
    const std::string url = first["url"];
    const auto setFirst = [](const char* key, const json& value) {
        return [key, value](json& m) { macFiles(m)[0][key] = value; };
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
        {"thirteen files", [&](json& m) { macFiles(m).push_back(first); }, unsupported},
        {"sixty-five files", [&](json& m) { macFiles(m) = json(65, first); }, unsupported},
        {"path outside the set", setFirst("path", BootstrapPolicy::app + "/Contents/extra"), unexpectedFile},
        {"path in another letter case",
         [](json& m) { macFile(m, "Contents/PkgInfo")["path"] = BootstrapPolicy::app + "/Contents/PKGINFO"; },
         unexpectedFile},
        {"one path twice, another missing", [](json& m) { macFiles(m)[5] = macFiles(m)[4]; }, unexpectedFile},
        {"zero bytes", setFirst("bytes", 0), unexpectedFile},
        {"negative bytes", setFirst("bytes", -1), unexpectedFile},
        {"largest int64 bytes", setFirst("bytes", std::numeric_limits<std::int64_t>::max()), unexpectedFile},
        {"uppercase digest", setFirst("sha256", upper(first["sha256"])), unexpectedFile},
        {"63 digits", setFirst("sha256", std::string(63, 'a')), unexpectedFile},
        {"65 digits", setFirst("sha256", std::string(65, 'a')), unexpectedFile},
        {"64 digits and a line feed", setFirst("sha256", std::string(64, 'a') + "\n"), unexpectedFile},
        {"executable Info.plist", [](json& m) { macFile(m, "Contents/Info.plist")["executable"] = true; },
         unexpectedFile},
        {"engine not executable", [](json& m) { macFile(m, "Contents/MacOS/KorvelEngine")["executable"] = false; },
         unexpectedFile},
        {"http address", setFirst("url", replaced(url, "https:", "http:")), unexpectedFile},
        {"another host", setFirst("url", replaced(url, downloadHost, "elsewhere.example")), unexpectedFile},
        {"host in another letter case", setFirst("url", replaced(url, downloadHost, upper(downloadHost))),
         unexpectedFile},
        {"another release name", setFirst("url", replaced(url, "/beta-7/", "/beta-6/")), unexpectedFile},
        {"windows segment", setFirst("url", replaced(url, "/mac/", "/windows/")), unexpectedFile},
        {"trailing slash", setFirst("url", url + "/"), unexpectedFile},
        {"added query", setFirst("url", url + "?v=2"), unexpectedFile},
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
    const auto error = thrownBy<DecodingError>([&] { BootstrapPolicy::parse(manifest.dump()); });
    ASSERT_TRUE(error) << "a file without sha256 was accepted";
    EXPECT_EQ(error->kind(), DecodingError::Kind::keyNotFound) << error->what();
    EXPECT_EQ(error->codingPath(), "platforms.mac.files[3].sha256");
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
