// The real korvel-launcher binary, started as a player would start it.
#include <chrono>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include <sys/wait.h>

#include "policy/bootstrap_policy.h"
#include "tests/servers/child_process.h"
#include "tests/support/temp_dir.h"

namespace korvel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ChildProcess;

// argv run through env(1) with no display, no XDG data directory and HOME at home, plus the
// given variables; env execs the program, so the child is the program itself.
std::vector<std::string> withoutDisplay(const fs::path& home, std::vector<std::string> variables,
                                        const std::vector<std::string>& argv) {
    std::vector<std::string> command = {"/usr/bin/env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM",
                                        "-u", "XDG_DATA_HOME", "HOME=" + home.string()};
    command.insert(command.end(), variables.begin(), variables.end());
    command.insert(command.end(), argv.begin(), argv.end());
    return command;
}

// Polls until the child ended or the condition holds; generous, for a loaded machine.
bool waitUntil(ChildProcess& child, const std::function<bool()>& condition = [] { return false; }) {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!condition() && !child.exited() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    return child.exited();
}

std::string allLines(ChildProcess& child) {
    std::string text;
    try {
        for (;;) {
            text += child.readLine() + "\n";
        }
    } catch (const std::runtime_error&) {  // end of output
    }
    return text;
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
        const testing::TempDir home;
        std::vector<std::string> argv = {KORVEL_LAUNCHER_BINARY};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        ChildProcess launcher(withoutDisplay(home.path(), {}, argv), true);

        ASSERT_TRUE(waitUntil(launcher)) << "the launcher did not end";

        const int status = launcher.wait();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
        EXPECT_EQ(allLines(launcher), "Korvel online bootstrap: " + BootstrapPolicy::manifestURL + "\n");
        EXPECT_TRUE(fs::is_empty(home.path())) << "the configuration report touched the home directory";
    }
}

TEST(LauncherBinary, TreatsCheckConfigWithAValueAsAnyOtherArgument) {
    const testing::TempDir home;
    ChildProcess launcher(
        withoutDisplay(home.path(), {"QT_QPA_PLATFORM=offscreen"}, {KORVEL_LAUNCHER_BINARY, "--check-config=x"}), true);

    // The launch itself shows: the installer creates the install root and its lock.
    const fs::path lock = home / ".local/share/Korvel/OnlineBetaClient/update.lock";
    const bool ended = waitUntil(launcher, [&lock] { return fs::exists(lock); });

    EXPECT_TRUE(fs::exists(lock)) << "the launcher never prepared an install root";
    EXPECT_FALSE(ended) << "the launcher ended by itself, wait status " << launcher.wait();
}

TEST(LauncherBinary, EndsPromptlyWhenTheWindowIsClosedDuringPreparation) {
    const testing::TempDir home;
    const auto start = std::chrono::steady_clock::now();
    ChildProcess launcher(withoutDisplay(home.path(), {"QT_QPA_PLATFORM=offscreen"}, {KORVEL_CLOSE_WHILE_PREPARING}));

    // The preparation never returns, so the process ends only if closing does not wait for it.
    const bool ended = waitUntil(launcher);

    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    ASSERT_TRUE(ended) << "still running after " << elapsed.count() << " ms";
    const int status = launcher.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "wait status " << status << " after " << elapsed.count() << " ms";
}

} // namespace
} // namespace korvel
