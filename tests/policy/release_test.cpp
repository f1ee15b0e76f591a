#include "policy/release.h"

#include <functional>
#include <limits>
#include <optional>

#include <gtest/gtest.h>

#include "tests/policy/manifest_json.h"
#include "tests/support/expect_error.h"

namespace korvel {
namespace {

using nlohmann::json;
using namespace testing;
using Kind = DecodingError::Kind;
using enum DecodingError::Kind;

// In the order of DecodingError::Kind, for readable failures.
const char* const kindNames[] = {"typeMismatch", "keyNotFound", "valueNotFound", "dataCorrupted"};

// The sample manifest with one change, as a document.
std::string with(const std::function<void(json&)>& change) {
    json manifest = sampleManifestJson();
    change(manifest);
    return manifest.dump();
}

TEST(ReleaseTest, DecodingReportsTheKindAndPathOfTheFirstFailingMember) {
    const std::string_view readable = "The data couldn’t be read because ";
    const struct {
        std::string name;
        std::string document;
        Kind kind;
        std::string codingPath;
    } cases[] = {
        {"file without sha256", with([](json& m) { macFiles(m)[3].erase("sha256"); }), keyNotFound,
         "platforms.mac.files[3].sha256"},
        {"file without executable", with([](json& m) { macFiles(m)[0].erase("executable"); }), keyNotFound,
         "platforms.mac.files[0].executable"},
        {"member name in another letter case", with([](json& m) { m["Schema"] = m["schema"]; m.erase("schema"); }),
         keyNotFound, "schema"},
        {"release null", with([](json& m) { m["release"] = nullptr; }), valueNotFound, "release"},
        {"file entry null", with([](json& m) { macFiles(m)[2] = nullptr; }), valueNotFound, "platforms.mac.files[2]"},
        {"schema as text", with([](json& m) { m["schema"] = "1"; }), typeMismatch, "schema"},
        {"bytes as text", with([](json& m) { macFiles(m)[0]["bytes"] = "12"; }), typeMismatch,
         "platforms.mac.files[0].bytes"},
        {"bytes as true", with([](json& m) { macFiles(m)[0]["bytes"] = true; }), typeMismatch,
         "platforms.mac.files[0].bytes"},
        {"executable as a number", with([](json& m) { macFiles(m)[0]["executable"] = 1; }), typeMismatch,
         "platforms.mac.files[0].executable"},
        {"files as an object", with([](json& m) { macFiles(m) = json::object(); }), typeMismatch,
         "platforms.mac.files"},
        {"platforms as an array", with([](json& m) { m["platforms"] = json::array(); }), typeMismatch, "platforms"},
        {"document not an object", "[1]", typeMismatch, ""},
        {"malformed windows entry",
         with([](json& m) { m["platforms"]["windows"] = {{"entrypoint", "x"}, {"files", {{{"path", "p"}}}}}; }),
         keyNotFound, "platforms.windows.files[0].url"},
        {"malformed entry under a refused platform name",
         with([](json& m) { m["platforms"]["linux"] = {{"files", json::array()}}; }), keyNotFound,
         "platforms.linux.entrypoint"},
        {"schema missing before release null", with([](json& m) { m.erase("schema"); m["release"] = nullptr; }),
         keyNotFound, "schema"},
        {"url wrong before sha256 missing",
         with([](json& m) { macFiles(m)[0]["url"] = 7; macFiles(m)[0].erase("sha256"); }), typeMismatch,
         "platforms.mac.files[0].url"},
        {"earlier file before later file",
         with([](json& m) { macFiles(m)[4]["bytes"] = "4"; macFiles(m)[1].erase("path"); }), keyNotFound,
         "platforms.mac.files[1].path"},
        {"integer above int64", R"({"schema":9223372036854775808})", dataCorrupted, "schema"},
        {"integer below int64", R"({"schema":-9223372036854775809})", dataCorrupted, "schema"},
        {"integer above uint64", R"({"schema":100000000000000000000000})", dataCorrupted, "schema"},
        {"integral number with a fraction", R"({"schema":1.0})", typeMismatch, "schema"},
        {"integral number with an exponent", R"({"schema":1e0})", typeMismatch, "schema"},
        {"number beyond a double", R"({"schema":1e400})", dataCorrupted, ""},
        {"not JSON", "schema: 1", dataCorrupted, ""},
        {"empty document", "", dataCorrupted, ""},
        {"truncated document", sampleManifestJson().dump().substr(0, 200), dataCorrupted, ""},
        {"trailing bytes", sampleManifestJson().dump() + " x", dataCorrupted, ""},
        {"invalid UTF-8 in a string", "{\"schema\":1,\"release\":\"b\xFF\"}", dataCorrupted, ""},
    };
    for (const auto& [name, document, kind, codingPath] : cases) {
        SCOPED_TRACE(name);
        const auto error = thrownBy<DecodingError>([&] { decodeJson<ReleaseManifest>(document); });
        ASSERT_TRUE(error) << "decoded";
        EXPECT_STREQ(kindNames[static_cast<int>(error->kind())], kindNames[static_cast<int>(kind)]) << error->what();
        EXPECT_EQ(error->codingPath(), codingPath) << error->what();
        const std::string what = error->what();
        EXPECT_TRUE(what.starts_with(readable) && (codingPath.empty() || what.ends_with(" (" + codingPath + ")")))
            << "unreadable or without its coding path: " << what;
    }
}

TEST(ReleaseTest, DecodingIgnoresUnknownMembersAtEveryLevel) {
    const std::string annotated = with([](json& m) {
        m["comment"] = {{"schema", "not a number"}};
        m["platforms"]["mac"]["comment"] = nullptr;
        macFiles(m)[0]["comment"] = json::array();
    });
    const ReleaseManifest decoded = decodeJson<ReleaseManifest>(annotated);
    const ReleaseManifest expected = testing::makeSampleRelease("beta-7").manifest();
    EXPECT_EQ(decoded.schema, expected.schema);
    EXPECT_EQ(decoded.release, expected.release);
    ASSERT_EQ(decoded.platforms.size(), 1u);
    EXPECT_EQ(decoded.platforms.at("mac").entrypoint, expected.platforms.at("mac").entrypoint);
    EXPECT_EQ(decoded.platforms.at("mac").files, expected.platforms.at("mac").files);
}

TEST(ReleaseTest, DecodingKeepsTheWholeInt64Range) {
    constexpr auto smallest = std::numeric_limits<std::int64_t>::min();
    constexpr auto largest = std::numeric_limits<std::int64_t>::max();
    for (const std::int64_t schema : {smallest, std::int64_t{-1}, std::int64_t{0}, largest}) {
        const std::string document = R"({"schema":)" + std::to_string(schema) + R"(,"release":"r"})";
        EXPECT_EQ(decodeJson<CurrentRelease>(document).schema, schema) << document;
    }
}

TEST(ReleaseTest, SelectionRecordIsCompactAndDecodesBack) {
    const std::string encoded = encodeJson(CurrentRelease{1, "beta-7"});
    EXPECT_EQ(encoded, R"({"schema":1,"release":"beta-7"})");
    const CurrentRelease decoded = decodeJson<CurrentRelease>(encoded);
    EXPECT_EQ(decoded.schema, 1);
    EXPECT_EQ(decoded.release, "beta-7");
}

} // namespace
} // namespace korvel
