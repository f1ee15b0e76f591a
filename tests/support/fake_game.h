#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvel::testing {

// How a fake game was started, as it recorded it.
struct GameReport {
    std::map<std::string, std::string> facts;  // program, pid, arguments, cwd, stdin, stdout, stderr
    std::vector<std::string> environment;      // "NAME=value", exactly as the game received it
};

// A game client stand-in: a shell script that writes to both output streams, records how it was
// started in the file report (atomically), then runs on for a minute, so that a caller that
// waits for it is caught. Whoever started it ends it.
std::string fakeGameScript(const std::filesystem::path& report);

// The report once the game has written it; nullopt when none comes within a generous wait.
std::optional<GameReport> waitForGameReport(const std::filesystem::path& report);

} // namespace korvel::testing
