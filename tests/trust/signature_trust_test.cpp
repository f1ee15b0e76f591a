#include "transport/signature_check.h"

#include <functional>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "policy/bootstrap_policy.h"
#include "tests/support/expect_error.h"
#include "tests/support/sample_release.h"
#include "tests/support/temp_dir.h"
#include "tools/bundle_signature.h"

namespace korvel {
namespace {

namespace fs = std::filesystem;
using namespace testing;

const std::string refused =
    "The downloaded Mac game failed its application signature check. Installation was not changed.";

TEST(DownloadedAppSignature, LinuxChecksInProcessUnderTheBuildKey) {
    const std::string buildKey = readFile(KORVEL_TEST_PRIVATE_KEY);
    const struct {
        const char* what;
        std::function<void(const fs::path& app)> alter;
        std::string message;  // empty: the bundle passes
    } cases[] = {
        {"signed with the build's key", [](auto&) {}, ""},
        {"a file altered after signing", [](auto& app) { writeFile(app / "Contents/PkgInfo", "APPL"); }, refused},
        {"signed with another key", [](auto& app) { signBundle(app, generateSigningKeyPair().privatePem); }, refused},
        {"a FIFO in place of CodeResources",
         [](auto& app) {
             fs::remove(app / codeResourcesPath);
             ::mkfifo((app / codeResourcesPath).c_str(), 0644);
         },
         refused},
        {"no bundle at all", [](auto& app) { fs::remove_all(app); }, refused},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const TempDir dir;
        makeSampleRelease("beta-1").writeTo(dir.path(), false);
        const fs::path app = dir / BootstrapPolicy::app;
        signBundle(app, buildKey);
        c.alter(app);
        EXPECT_TRUE(throwsBootstrapError([&] { verifyDownloadedApp(app); }, c.message));
    }
}

TEST(AppSignatureTool, CodeRequirementIsOneArgumentBeforeTheBundle) {
    const TempDir dir;
    const fs::path tool = dir / "codesign";
    writeFile(tool, "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$0.arguments\"\n");
    fs::permissions(tool, fs::perms(0755));
    const fs::path app = dir / "My Games/Korvel_Online_Beta.app";
    const std::string requirement = "anchor apple generic and certificate leaf[subject.OU] = \"T3AM\"";
    const std::pair<std::string, std::string> cases[] = {
        {"", "--verify\n--deep\n--strict\n" + app.string() + "\n"},
        {requirement, "--verify\n--deep\n--strict\n-R=" + requirement + "\n" + app.string() + "\n"},
    };
    for (const auto& [given, arguments] : cases) {
        verifyAppSignature(tool, app, given);
        EXPECT_EQ(readFile(dir / "codesign.arguments"), arguments);
    }
}

} // namespace
} // namespace korvel
