#include "transport/signature_check.h"

#include <cerrno>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/expect_error.h"
#include "tests/support/temp_dir.h"

namespace korvel {
namespace {

namespace fs = std::filesystem;
using namespace testing;

const std::string refused =
    "The downloaded Mac game failed its application signature check. Installation was not changed.";

class SignatureCheckTest : public ::testing::Test {
protected:
    // A stand-in for the code-signing tool: a shell script (the check itself never uses a shell).
    fs::path fakeTool(const std::string& body, fs::perms mode = fs::perms(0755)) {
        const fs::path tool = scratch / "fake codesign";
        writeFile(tool, "#!/bin/sh\n" + body + "\n");
        fs::permissions(tool, mode);
        return tool;
    }

    TempDir scratch;
    const fs::path app = scratch / "Korvel_Online_Beta.app";
};

TEST_F(SignatureCheckTest, OnlyExitStatusZeroPasses) {
    const std::pair<const char*, std::string> cases[] = {
        {"exit 0", ""},
        {"echo valid; echo noise >&2; exit 0", ""},
        {"exit 1", refused},
        {"exit 3", refused},
        {"kill -9 $$", refused},
        {"kill -TERM $$", refused},
    };
    for (const auto& [body, message] : cases) {
        EXPECT_TRUE(throwsBootstrapError([&] { verifyAppSignature(fakeTool(body), app); }, message)) << body;
    }
}

TEST_F(SignatureCheckTest, ToolThatCannotStartIsThePlatformError) {
    const fs::path missing = scratch / "no such tool";
    EXPECT_TRUE(throwsSystemError([&] { verifyAppSignature(missing, app); }, ENOENT, missing));
    const fs::path notExecutable = fakeTool("exit 0", fs::perms(0644));
    EXPECT_TRUE(throwsSystemError([&] { verifyAppSignature(notExecutable, app); }, EACCES, notExecutable));
}

TEST_F(SignatureCheckTest, ToolReceivesExactlyTheFourArguments) {
    const fs::path record = scratch / "arguments";
    const fs::path tool = fakeTool("printf '%s\\n' \"$0\" \"$#\" \"$@\" > '" + record.string() + "'");
    const fs::path bundle = scratch / "My Games/Korvel Online Beta.app";
    verifyAppSignature(tool, bundle);
    EXPECT_EQ(readFile(record), tool.string() + "\n4\n--verify\n--deep\n--strict\n" + bundle.string() + "\n");
}

} // namespace
} // namespace korvel
