// The real korvel-launcher binary, started as a player would start it.
#include <filesystem>

#include <gtest/gtest.h>

#include "policy/bootstrap_policy.h"
#include "tests/servers/child_process.h"
#include "tests/support/eventually.h"
#include "tests/support/temp_dir.h"

namespace korvel {
namespace {

namespace fs = std::filesystem;
using namespace testing;

// A player's environment with home as HOME, no display and no XDG data directory, plus set.
std::vector<std::string> playerEnvironment(const TempDir& home, std::vector<std::string> set = {}) {
    set.push_back("HOME=" + home.path().string());
    return environmentWith(set, {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_DATA_HOME"});
}

TEST(LauncherBinary, AnswersCheckConfigAnywhereWithOneLineAndNoDisplay) {
    const std::vector<std::vector<std::string>> cases = {
        {"--check-config"},
        {"-platform", "xcb", "--check-config"},
        {"--check-config=x", "--check-config", "--verbose"},
        {"--check-config", "--check-config"},
    };
    for (const auto& arguments : cases) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        const TempDir home;
        std::vector<std::string> argv = {KORVEL_LAUNCHER_BINARY};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        const ChildResult launcher = runChild(argv, playerEnvironment(home), std::chrono::seconds(60));

        EXPECT_EQ(launcher.exitStatus, 0) << launcher.errors;
        EXPECT_EQ(launcher.output, "Korvel online bootstrap: " + BootstrapPolicy::manifestURL + "\n");
        EXPECT_TRUE(fs::is_empty(home.path())) << "the configuration report touched the home directory";
    }
}

TEST(LauncherBinary, TreatsCheckConfigWithAValueAsAnyOtherArgument) {
    const TempDir home;
    ChildProcess launcher({KORVEL_LAUNCHER_BINARY, "--check-config=x"},
                          {.environment = playerEnvironment(home, {"QT_QPA_PLATFORM=offscreen"})});

    // The launch itself shows: the installer creates the install root and its lock.
    const fs::path lock = home / ".local/share/Korvel/OnlineBetaClient/update.lock";
    eventually([&] { return fs::exists(lock) || launcher.exited(); });

    EXPECT_TRUE(fs::exists(lock)) << "the launcher never prepared an install root";
}

TEST(LauncherBinary, EndsPromptlyWhenTheWindowIsClosedDuringPreparation) {
    const TempDir home;
    // The preparation never returns, so the process ends only if closing does not wait for it.
    const ChildResult launcher = runChild({KORVEL_CLOSE_WHILE_PREPARING},
                                          playerEnvironment(home, {"QT_QPA_PLATFORM=offscreen"}),
                                          std::chrono::seconds(60));

    EXPECT_FALSE(launcher.timedOut) << "still running after a minute";
    EXPECT_EQ(launcher.exitStatus, 0) << launcher.errors;
}

} // namespace
} // namespace korvel
