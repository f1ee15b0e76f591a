#include <cerrno>
#include <climits>
#include <filesystem>

#include <gtest/gtest.h>

#include <unistd.h>

#include "launcher/game_process.h"
#include "tests/launcher/fake_game.h"

namespace korvel {
namespace {

namespace fs = std::filesystem;

std::string linkTarget(const char* link) {
    char target[PATH_MAX] = {};
    const ssize_t length = ::readlink(link, target, sizeof target - 1);
    return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

TEST(GameEnvironment, DropsExactlyTheVariablesWhoseNameBeginsWithKorvelUnderscore) {
    const struct {
        const char* entry;
        bool kept;
    } cases[] = {
        {"KORVEL_X=1", false},
        {"KORVEL_=1", false},
        {"KORVEL_DEMO_CA_FILE=/tmp/ca.pem", false},
        {"XKORVEL_X=1", true},
        {"korvel_x=1", true},
        {"Korvel_X=1", true},
        {"KORVEL=1", true},
        {"KORVELX=1", true},
        {"PATH=/usr/bin:/bin", true},
        {"QUERY=a=b=KORVEL_c", true},
        {"EMPTY=", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entry);
        const std::vector<std::string> kept = gameEnvironment({"BEFORE=1", c.entry, "AFTER=2"});
        const std::vector<std::string> expected =
            c.kept ? std::vector<std::string>{"BEFORE=1", c.entry, "AFTER=2"} : std::vector<std::string>{"BEFORE=1", "AFTER=2"};
        EXPECT_EQ(kept, expected);
    }
}

TEST(StartGame, RunsTheGameWithNoArgumentsTheGivenEnvironmentAndItsOutputDiscarded) {
    testing::FakeGame game;
    const std::vector<std::string> environment = {"PATH=/usr/bin:/bin", "LANG=C.UTF-8", "VALUE=x=y"};

    startGame(game.executable(), environment);

    const auto report = game.waitForReport();
    ASSERT_TRUE(report) << "the game never ran";
    const struct {
        const char* fact;
        std::string expected;
    } cases[] = {
        {"arguments", "0"},
        {"stdout", "/dev/null"},
        {"stderr", "/dev/null"},
        {"stdin", linkTarget("/proc/self/fd/0")},
        {"cwd", fs::current_path().string()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fact);
        EXPECT_EQ(report->facts.at(c.fact), c.expected);
    }
    EXPECT_EQ(report->environment, environment) << "the game's environment is not exactly the one given";
}

TEST(StartGame, ReturnsWhileTheGameRuns) {
    testing::FakeGame game;

    startGame(game.executable(), {"PATH=/usr/bin:/bin"});

    ASSERT_TRUE(game.waitForReport()) << "the game never ran";
    EXPECT_TRUE(game.running()) << "startGame waited for the game to end";
}

TEST(StartGame, ReportsAGameThatCannotStartAsAFileSystemError) {
    const testing::TempDir dir;
    testing::writeFile(dir / "not-executable", "#!/bin/sh\n");
    fs::create_directory(dir / "directory");
    const struct {
        const char* name;
        int error;
    } cases[] = {{"missing", ENOENT}, {"not-executable", EACCES}, {"directory", EACCES}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            startGame(dir / c.name, {});
            ADD_FAILURE() << "the game started";
        } catch (const fs::filesystem_error& error) {
            EXPECT_EQ(error.code().value(), c.error) << error.what();
            EXPECT_EQ(error.path1(), dir / c.name);
        }
    }
}

} // namespace
} // namespace korvel
