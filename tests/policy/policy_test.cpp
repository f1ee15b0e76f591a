#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "policy/bootstrap_policy.h"
#include "tests/support/outcome.h"
#include "tests/support/sample_release.h"

namespace korvel::test {
namespace {

using nlohmann::json;

const std::string unsupported = "Unsupported online beta release manifest.";
const std::string unexpectedFile = "The release contains an unexpected path, URL, executable, checksum, or size.";

std::string sampleManifest() { return encodeJson(sampleRelease("beta-7").manifest()); }

// The sample manifest after a JSON patch, given as its operations; "@" in them stands for
// "/platforms/mac/files", whose entries are in the policy's sorted path order (1 is the engine).
std::string patched(std::string operations) {
    for (std::size_t at; (at = operations.find('@')) != std::string::npos;) {
        operations.replace(at, 1, "/platforms/mac/files");
    }
    return json::parse(sampleManifest()).patch(json::parse("[" + operations + "]")).dump();
}

// The sample manifest with these file sizes, in list order; the files after them hold one byte.
std::string sized(const std::vector<std::int64_t>& leading) {
    json manifest = json::parse(sampleManifest());
    for (std::size_t i = 0; i < BootstrapPolicy::paths.size(); ++i) {
        manifest["platforms"]["mac"]["files"][i]["bytes"] = i < leading.size() ? leading[i] : 1;
    }
    return manifest.dump();
}

TEST(ManifestGate, AcceptsOnlyWhatThePolicyAllowsAndNamesTheFirstFailure) {
    constexpr std::int64_t limit = BootstrapPolicy::totalLimit;
    const std::string manifest = sampleManifest();
    const struct {
        std::string document;
        std::string outcome;
    } rows[] = {
        {patched(""), ""},
        {patched(R"({"op":"add","path":"/note","value":{"schema":"x"}},{"op":"add","path":"@/0/note","value":0})"), ""},
        {patched(R"({"op":"add","path":"/platforms/windows","value":{"entrypoint":"../x","files":[]}})"), ""},
        {manifest + std::string(131072 - manifest.size(), ' '), ""},
        {manifest + std::string(131073 - manifest.size(), ' '), "Release manifest exceeds its size limit."},
        {std::string(131073, '{'), "Release manifest exceeds its size limit."},
        {patched(R"({"op":"remove","path":"@/3/sha256"})"), "keyNotFound platforms.mac.files[3].sha256"},
        {patched(R"({"op":"replace","path":"/schema","value":2},{"op":"remove","path":"@/3/sha256"})"),
         "keyNotFound platforms.mac.files[3].sha256"},
        {patched(R"({"op":"replace","path":"/release","value":null})"), "valueNotFound release"},
        {patched(R"({"op":"replace","path":"/schema","value":"1"})"), "typeMismatch schema"},
        {patched(R"({"op":"replace","path":"/schema","value":1.0})"), "typeMismatch schema"},
        {patched(R"({"op":"replace","path":"@/0/bytes","value":9223372036854775808})"),
         "dataCorrupted platforms.mac.files[0].bytes"},
        {patched(R"({"op":"replace","path":"@/0/url","value":7},{"op":"remove","path":"@/0/sha256"})"),
         "typeMismatch platforms.mac.files[0].url"},
        {patched(R"({"op":"replace","path":"@/4/bytes","value":"4"},{"op":"remove","path":"@/1/path"})"),
         "keyNotFound platforms.mac.files[1].path"},
        {patched(R"({"op":"add","path":"/platforms/linux","value":{"files":[]}})"),
         "keyNotFound platforms.linux.entrypoint"},
        {R"({"schema":-9223372036854775809})", "dataCorrupted schema"},
        {R"({"schema":1e400})", "dataCorrupted"},
        {"{\"schema\":1,\"release\":\"b\xFF\"}", "dataCorrupted"},
        {patched(R"({"op":"replace","path":"/schema","value":2})"), unsupported},
        {patched(R"({"op":"replace","path":"/schema","value":2},{"op":"replace","path":"@/0/sha256","value":"0"})"),
         unsupported},
        {patched(R"({"op":"replace","path":"/release","value":"beta."})"), unsupported},
        {patched(R"({"op":"move","from":"/platforms/mac","path":"/platforms/windows"})"), unsupported},
        {patched(R"({"op":"copy","from":"@/1/path","path":"/platforms/mac/entrypoint"})"), unsupported},
        {patched(R"({"op":"remove","path":"@/11"})"), unsupported},
        {patched(R"({"op":"copy","from":"@/0","path":"@/-"})"), unsupported},
        {patched(R"({"op":"replace","path":"@/0/path","value":"Korvel_Online_Beta.app/Contents/extra"})"),
         unexpectedFile},
        {patched(R"({"op":"copy","from":"@/4/path","path":"@/5/path"})"), unexpectedFile},
        {patched(R"({"op":"replace","path":"@/0/bytes","value":0})"), unexpectedFile},
        {patched(R"({"op":"replace","path":"@/0/sha256","value":"0"})"), unexpectedFile},
        {patched(R"({"op":"replace","path":"@/0/executable","value":true})"), unexpectedFile},
        {patched(R"({"op":"copy","from":"@/1/url","path":"@/0/url"})"), unexpectedFile},
        {patched(R"({"op":"replace","path":"/release","value":"beta-8"})"), unexpectedFile},
        {sized({limit - 11}), ""},
        {sized({limit - 10}), unexpectedFile},
        {sized({1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, limit - 10}), unexpectedFile},
        {sized({limit - 11, std::numeric_limits<std::int64_t>::max()}), unexpectedFile},
    };
    for (std::size_t row = 0; row < std::size(rows); ++row) {
        EXPECT_EQ(outcomeOf([&] { BootstrapPolicy::parse(rows[row].document); }), rows[row].outcome)
            << "row " << row << ": " << rows[row].document.substr(0, 300);
    }
}

TEST(ManifestGate, AdmitsOnlySafeSingleComponentReleaseNames) {
    using Names = std::initializer_list<std::string>;
    for (const std::string& name : Names{"b", std::string(64, 'a'), "beta-7_rc.2", "CONSOLE", "COM0", "LPT10"}) {
        EXPECT_TRUE(BootstrapPolicy::validRelease(name)) << "refused \"" << name << "\"";
    }
    // A trailing line terminator of any kind is refused, which a "$"-anchored search would let through.
    for (const std::string& name :
         Names{std::string(65, 'a'), "", ".beta", "-beta", "a..b", "beta.", "a b", "a/b", std::string("a\0b", 3),
               "b\xC3\xA9ta", "beta\n", "beta\xE2\x80\xA8", "CON", "con", "Con.1", "com1", "LPT9", "aux."}) {
        EXPECT_FALSE(BootstrapPolicy::validRelease(name)) << "admitted \"" << name << "\"";
    }
}

} // namespace
} // namespace korvel::test
