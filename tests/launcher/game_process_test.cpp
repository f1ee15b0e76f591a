#include <cerrno>
#include <csignal>
#include <climits>
#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include "base/scope_exit.h"
#include "launcher/game_process.h"
#include "tests/support/expect_error.h"
#include "tests/support/fake_game.h"
#include "tests/support/temp_dir.h"

namespace korvel {
namespace {

namespace fs = std::filesystem;

TEST(GameEnvironment, DropsExactlyTheVariablesWhoseNameBeginsWithKorvelUnderscore) {
    using Entries = std::vector<std::string>;
    for (const char* dropped : {"KORVEL_X=1", "KORVEL_=1", "KORVEL_DEMO_CA_FILE=/tmp/ca.pem"}) {
        EXPECT_EQ(gameEnvironment({"BEFORE=1", dropped, "AFTER=2"}), (Entries{"BEFORE=1", "AFTER=2"})) << dropped;
    }
    for (const char* kept : {"XKORVEL_X=1", "korvel_x=1", "Korvel_X=1", "KORVEL=1", "KORVELX=1", "PATH=/usr/bin:/bin",
                             "QUERY=a=b=KORVEL_c", "EMPTY="}) {
        EXPECT_EQ(gameEnvironment({"BEFORE=1", kept, "AFTER=2"}), (Entries{"BEFORE=1", kept, "AFTER=2"})) << kept;
    }
}

TEST(StartGame, RunsTheGameWithNoArgumentsTheGivenEnvironmentAndItsOutputDiscardedWithoutWaiting) {
    const testing::TempDir dir;
    testing::writeFile(dir / "game", testing::fakeGameScript(dir / "report"));
    fs::permissions(dir / "game", fs::perms::owner_all);
    const std::vector<std::string> environment = {"PATH=/usr/bin:/bin", "LANG=C.UTF-8", "VALUE=x=y"};

    const pid_t game = startGame(dir / "game", environment);

    const ScopeExit end([game] {
        ::kill(game, SIGKILL);
        ::waitpid(game, nullptr, 0);
    });
    const auto report = testing::waitForGameReport(dir / "report");
    ASSERT_TRUE(report) << "the game never ran";
    EXPECT_EQ(::waitpid(game, nullptr, WNOHANG), 0) << "startGame waited for the game to end";
    char stdinTarget[PATH_MAX] = {};
    ASSERT_GT(::readlink("/proc/self/fd/0", stdinTarget, sizeof stdinTarget - 1), 0);
    const std::map<std::string, std::string> expected = {
        {"arguments", "0"}, {"stdout", "/dev/null"}, {"stderr", "/dev/null"}, {"stdin", stdinTarget},
        {"cwd", fs::current_path().string()}, {"program", (dir / "game").string()}, {"pid", std::to_string(game)},
    };
    EXPECT_EQ(report->facts, expected);
    EXPECT_EQ(report->environment, environment) << "the game's environment is not exactly the one given";
}

TEST(StartGame, ReportsAGameThatCannotStartAsAFileSystemError) {
    const testing::TempDir dir;
    testing::writeFile(dir / "not-executable", "#!/bin/sh\n");
    fs::create_directory(dir / "directory");
    for (const auto& [name, error] :
         {std::pair{"missing", ENOENT}, std::pair{"not-executable", EACCES}, std::pair{"directory", EACCES}}) {
        EXPECT_TRUE(testing::throwsSystemError([&] { startGame(dir / name, {}); }, error, dir / name)) << name;
    }
}

} // namespace
} // namespace korvel
