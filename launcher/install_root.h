#pragma once

#include <filesystem>
#include <string_view>

namespace korvel {

// The player's install root for the current user: on macOS
// ~/Library/Application Support/Korvel/OnlineBetaClient, elsewhere Korvel/OnlineBetaClient
// under the XDG data directory. The home directory is $HOME, or the user database's entry
// when HOME is unset or empty. Reads the environment; touches no file.
std::filesystem::path installRoot();

// The same from given values; xdgDataHome is the value of XDG_DATA_HOME ("" when unset).
// Following the XDG base-directory rules, it counts only when absolute; otherwise the data
// directory is ~/.local/share. Pure.
std::filesystem::path installRoot(const std::filesystem::path& home, std::string_view xdgDataHome);

} // namespace korvel
