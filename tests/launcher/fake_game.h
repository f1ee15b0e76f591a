#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace korvel::testing {

// A game client stand-in: a shell script that writes to both output streams, records how it
// was started (arguments, working directory, standard streams, its exact environment) in a
// report file, and keeps running until released (at most a minute), so a caller that waits
// for it is caught. Released and reaped when the object goes away.
class FakeGame {
public:
    struct Report {
        std::map<std::string, std::string> facts;  // pid, arguments, cwd, stdin, stdout, stderr
        std::vector<std::string> environment;      // "NAME=value", as the game received it
    };

    FakeGame();
    ~FakeGame();
    FakeGame(const FakeGame&) = delete;
    FakeGame& operator=(const FakeGame&) = delete;

    const std::filesystem::path& executable() const { return executable_; }

    // The report, once the game has written it; nullopt after a generous wait.
    std::optional<Report> waitForReport();
    // Whether the game reported and is still running.
    bool running() const;

private:
    TempDir dir;
    std::filesystem::path executable_;
    int pid = -1;
};

} // namespace korvel::testing
