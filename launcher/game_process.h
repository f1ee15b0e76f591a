#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <sys/types.h>

namespace korvel {

// The game's environment: every entry of the launcher's, unchanged and in order, except those
// whose name (the text before the first "=") begins with "KORVEL_", an exact, case-sensitive
// test. Launcher-only settings never reach the game.
std::vector<std::string> gameEnvironment(const std::vector<std::string>& launcherEnvironment);

// Starts the game client with no arguments and exactly the given environment; standard
// output and error go to the null device, standard input and the working directory are
// inherited, signals start with their default actions and nothing blocked. Does not wait:
// the launcher quits right after, and the game's parent becomes the system's reaper.
// Returns the child's process id. A start failure, including one of the exec itself (not
// executable, missing), throws std::filesystem::filesystem_error with its errno and the path.
pid_t startGame(const std::filesystem::path& executable, const std::vector<std::string>& environment);

} // namespace korvel
