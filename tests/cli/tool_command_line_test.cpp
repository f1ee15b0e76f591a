// korvel-release and korvel-codesign as a release engineer meets them: the real binaries, judged
// by their exit status and by what they print on which stream.

#include <functional>

#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "policy/bootstrap_policy.h"
#include "tests/servers/child_process.h"
#include "tests/support/sample_release.h"
#include "tests/support/temp_dir.h"
#include "tools/bundle_signature.h"

namespace korvel {
namespace {

namespace fs = std::filesystem;
using namespace testing;
using ::testing::HasSubstr;

const std::string release = KORVEL_RELEASE_BINARY;
const std::string codesign = KORVEL_CODESIGN_BINARY;

class ToolCommandLine : public ::testing::Test {
protected:
    void SetUp() override {
        const SigningKeyPair keys = generateSigningKeyPair();
        writeFile(otherPrivate, keys.privatePem);
        writeFile(otherPublic, keys.publicPem);
    }

    // A sample release's bundle in a fresh directory, signed with key unless key is empty.
    std::string bundle(const std::string& key = KORVEL_TEST_PRIVATE_KEY) {
        const fs::path parent = dir / ("bundle " + std::to_string(++bundles));
        makeSampleRelease("beta-1").writeTo(parent, false);
        const fs::path app = parent / BootstrapPolicy::app;
        fs::remove(app / codeResourcesPath);
        if (!key.empty()) {
            runToSuccess({release, "sign", "--key", key, app.string()});
        }
        return app.string();
    }

    TempDir dir;
    const std::string site = (dir / "site").string();
    const std::string otherPrivate = (dir / "other-private.pem").string();
    const std::string otherPublic = (dir / "other-public.pem").string();
    int bundles = 0;
};

// What a stream must show: nothing when expected is empty, else expected somewhere in it.
::testing::Matcher<std::string> shows(const std::string& expected) {
    return expected.empty() ? ::testing::Matcher<std::string>(::testing::IsEmpty()) : HasSubstr(expected);
}

// Runs argv with standard output on a full device.
ChildResult toFullDisk(std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"/bin/sh", "-c", "exec \"$@\" >/dev/full", "sh"});
    return runChild(argv);
}

TEST_F(ToolCommandLine, FollowsConventionsAndRefusesWhatItCannotPublish) {
    const auto altered = [&] {
        const std::string app = bundle();
        writeFile(fs::path(app) / "Contents/Resources/online.json", "{}\n");
        return app;
    };
    const auto withFifo = [&] {
        const std::string app = bundle();
        fs::remove(fs::path(app) / codeResourcesPath);
        ::mkfifo((fs::path(app) / codeResourcesPath).c_str(), 0644);
        return app;
    };
    const auto publish = [&](const std::string& app, std::vector<std::string> options = {}) {
        options.insert(options.begin(), {release, "publish", "--release", "beta-1", "--bundle", app, "--out", site});
        return runChild(options);
    };
    const struct {
        const char* what;
        std::function<ChildResult()> run;
        int status;
        std::string output;  // expected within standard output; "" when nothing may be printed there
        std::string errors;  // likewise for standard error
    } cases[] = {
        {"help", [&] { return runChild({release, "--help"}); }, 0, "Usage: korvel-release", ""},
        {"help of one command", [&] { return runChild({release, "publish", "-h"}); }, 0, "--public-key", ""},
        {"help of the verifier", [&] { return runChild({codesign, "--help"}); }, 0, "usage: korvel-codesign", ""},
        {"version", [&] { return runChild({release, "--version"}); }, 0, "korvel-release " KORVEL_VERSION "\n", ""},
        {"version of the verifier", [&] { return runChild({codesign, "--version"}); }, 0, "korvel-codesign ", ""},
        {"an unknown option is named before a missing one",
         [&] { return runChild({release, "sign", "--kee", "key.pem", "x"}); }, 2, "", "not expected: --kee"},
        {"an unknown command", [&] { return runChild({release, "unsign"}); }, 2, "", "Run 'korvel-release --help'"},
        {"an option's value after =", [&] { return runChild({release, "manifest", "--release=beta-7", bundle()}); },
         0, "\"release\": \"beta-7\"", ""},
        {"sign ends with one line",
         [&] { return runChild({release, "sign", "--key=" KORVEL_TEST_PRIVATE_KEY, bundle("")}); }, 0,
         ": 11 files, 0.0 MiB, with a key this build trusts.\n", ""},
        {"help to a full disk", [&] { return toFullDisk({release, "--help"}); }, 1, "", "writing to standard output"},
        {"manifest to a full disk", [&] { return toFullDisk({release, "manifest", "--release", "beta-1", bundle()}); },
         1, "", "No space left on device [standard output]"},
        {"publish an unsigned bundle", [&] { return publish(bundle("")); }, 1, "", "not signed"},
        {"publish a bundle altered after signing", [&] { return publish(altered()); }, 1, "",
         "changed: Contents/Resources/online.json"},
        {"publish a bundle signed with an unknown key", [&] { return publish(bundle(otherPrivate)); }, 1, "",
         "another key"},
        {"publish with the signer's --public-key",
         [&] { return publish(bundle(otherPrivate), {"--public-key", otherPublic}); }, 0, "12 files written", ""},
        {"sign a directory that is not a bundle",
         [&] {
             return runChild({release, "sign", "--key", KORVEL_TEST_PRIVATE_KEY, fs::path(bundle()).parent_path()});
         },
         1, "", "does not hold exactly the 12 files"},
        {"a FIFO in place of CodeResources",
         [&] {
             return runChild({codesign, "--verify", "--deep", "--strict", withFifo()}, {}, std::chrono::seconds(60));
         },
         1, "", "CodeResources is not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(site);
        const ChildResult result = c.run();
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitStatus, c.status) << result.errors;
        EXPECT_THAT(result.output, shows(c.output));
        EXPECT_THAT(result.errors, shows(c.errors));
        EXPECT_TRUE(c.status == 0 || !fs::exists(site)) << "a refused command wrote into the site";
    }
}

} // namespace
} // namespace korvel
