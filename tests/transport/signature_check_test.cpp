#include "transport/signature_check.h"

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/expect_error.h"
#include "tests/support/temp_dir.h"

namespace korvel {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::readFile;
using testing::throwsBootstrapError;
using testing::throwsSystemError;
using testing::writeFile;

const std::string refused =
    "The downloaded Mac game failed its application signature check. Installation was not changed.";

class SignatureCheckTest : public ::testing::Test {
protected:
    // A stand-in for the code-signing tool: a shell script (the check itself never uses a shell).
    fs::path fakeTool(const std::string& body, fs::perms mode = fs::perms(0755)) {
        const fs::path tool = scratch / "fake codesign";
        fs::remove(tool);
        writeFile(tool, "#!/bin/sh\n" + body + "\n");
        fs::permissions(tool, mode);
        return tool;
    }

    TempDir scratch;
    const fs::path app = scratch / "Korvel_Online_Beta.app";
};

TEST_F(SignatureCheckTest, OnlyExitStatusZeroPasses) {
    struct Case {
        const char* name;
        std::string body;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"exit 0", "exit 0", ""},
        {"exit 0 after printing on both streams", "echo valid; echo noise >&2; exit 0", ""},
        {"exit 1", "exit 1", refused},
        {"exit 3 silently", "exit 3", refused},
        {"killed by SIGKILL", "kill -9 $$", refused},
        {"killed by SIGTERM", "kill -TERM $$", refused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path tool = fakeTool(c.body);
        EXPECT_TRUE(throwsBootstrapError([&] { verifyAppSignature(tool, app); }, c.message));
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
    EXPECT_EQ(readFile(record),
              tool.string() + "\n4\n--verify\n--deep\n--strict\n" + bundle.string() + "\n");
}

} // namespace
} // namespace korvel
