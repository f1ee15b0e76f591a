#include "policy/release.h"

#include <functional>
#include <limits>
#include <optional>

#include <gtest/gtest.h>

#include "tests/policy/manifest_json.h"

namespace korvel {
namespace {

using nlohmann::json;
using testing::macFiles;
using testing::sampleManifestJson;
using Kind = DecodingError::Kind;

const char* kindName(Kind kind) {
    switch (kind) {
    case Kind::typeMismatch: return "typeMismatch";
    case Kind::keyNotFound: return "keyNotFound";
    case Kind::valueNotFound: return "valueNotFound";
    case Kind::dataCorrupted: return "dataCorrupted";
    }
    return "?";
}

std::string sampleWith(const std::function<void(json&)>& change) {
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
        {"file without sha256", sampleWith([](json& m) { macFiles(m)[3].erase("sha256"); }), Kind::keyNotFound,
         "platforms.mac.files[3].sha256"},
        {"file without executable", sampleWith([](json& m) { macFiles(m)[0].erase("executable"); }),
         Kind::keyNotFound, "platforms.mac.files[0].executable"},
        {"member name in another letter case",
         sampleWith([](json& m) { m["Schema"] = m["schema"]; m.erase("schema"); }), Kind::keyNotFound, "schema"},
        {"release null", sampleWith([](json& m) { m["release"] = nullptr; }), Kind::valueNotFound, "release"},
        {"file entry null", sampleWith([](json& m) { macFiles(m)[2] = nullptr; }), Kind::valueNotFound,
         "platforms.mac.files[2]"},
        {"schema as text", sampleWith([](json& m) { m["schema"] = "1"; }), Kind::typeMismatch, "schema"},
        {"bytes as text", sampleWith([](json& m) { macFiles(m)[0]["bytes"] = "12"; }), Kind::typeMismatch,
         "platforms.mac.files[0].bytes"},
        {"bytes as true", sampleWith([](json& m) { macFiles(m)[0]["bytes"] = true; }), Kind::typeMismatch,
         "platforms.mac.files[0].bytes"},
        {"executable as a number", sampleWith([](json& m) { macFiles(m)[0]["executable"] = 1; }),
         Kind::typeMismatch, "platforms.mac.files[0].executable"},
        {"files as an object", sampleWith([](json& m) { macFiles(m) = json::object(); }), Kind::typeMismatch,
         "platforms.mac.files"},
        {"platforms as an array", sampleWith([](json& m) { m["platforms"] = json::array(); }), Kind::typeMismatch,
         "platforms"},
        {"document not an object", "[1]", Kind::typeMismatch, ""},
        {"malformed windows entry",
         sampleWith([](json& m) {
             m["platforms"]["windows"] = m["platforms"]["mac"];
             m["platforms"]["windows"]["files"][0].erase("sha256");
         }),
         Kind::keyNotFound, "platforms.windows.files[0].sha256"},
        {"malformed entry under a refused platform name",
         sampleWith([](json& m) { m["platforms"]["linux"] = {{"files", json::array()}}; }), Kind::keyNotFound,
         "platforms.linux.entrypoint"},
        {"schema missing before release null",
         sampleWith([](json& m) { m.erase("schema"); m["release"] = nullptr; }), Kind::keyNotFound, "schema"},
        {"url wrong before sha256 missing",
         sampleWith([](json& m) { macFiles(m)[0]["url"] = 7; macFiles(m)[0].erase("sha256"); }),
         Kind::typeMismatch, "platforms.mac.files[0].url"},
        {"earlier file before later file",
         sampleWith([](json& m) { macFiles(m)[4]["bytes"] = "4"; macFiles(m)[1].erase("path"); }),
         Kind::keyNotFound, "platforms.mac.files[1].path"},
        {"integer above int64", R"({"schema":9223372036854775808})", Kind::dataCorrupted, "schema"},
        {"integer below int64", R"({"schema":-9223372036854775809})", Kind::dataCorrupted, "schema"},
        {"integer above uint64", R"({"schema":100000000000000000000000})", Kind::dataCorrupted, "schema"},
        {"integral number with a fraction", R"({"schema":1.0})", Kind::typeMismatch, "schema"},
        {"integral number with an exponent", R"({"schema":1e0})", Kind::typeMismatch, "schema"},
        {"number beyond a double", R"({"schema":1e400})", Kind::dataCorrupted, ""},
        {"not JSON", "schema: 1", Kind::dataCorrupted, ""},
        {"empty document", "", Kind::dataCorrupted, ""},
        {"truncated document", sampleManifestJson().dump().substr(0, 200), Kind::dataCorrupted, ""},
        {"trailing bytes", sampleManifestJson().dump() + " x", Kind::dataCorrupted, ""},
        {"invalid UTF-8 in a string", "{\"schema\":1,\"release\":\"b\xFF\"}", Kind::dataCorrupted, ""},
    };
    for (const auto& [name, document, kind, codingPath] : cases) {
        try {
            decodeJson<ReleaseManifest>(document);
            ADD_FAILURE() << name << ": decoded";
        } catch (const DecodingError& error) {
            EXPECT_EQ(kindName(error.kind()), std::string(kindName(kind))) << name << ": " << error.what();
            EXPECT_EQ(error.codingPath(), codingPath) << name << ": " << error.what();
            const std::string what = error.what();
            EXPECT_TRUE(what.starts_with(readable) && (codingPath.empty() || what.ends_with(" (" + codingPath + ")")))
                << name << ": unreadable or without its coding path: " << what;
        }
    }
}

TEST(ReleaseTest, DecodingIgnoresUnknownMembersAtEveryLevel) {
    const std::string annotated = sampleWith([](json& m) {
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
