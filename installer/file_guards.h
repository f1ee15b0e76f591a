#pragma once

#include <filesystem>

namespace korvel {

// The path with "." and ".." segments removed textually and no trailing separator (except
// for "/" itself). Symbolic links are never resolved: the guards compare this text with
// the install root, and a resolved path would hide exactly the links they look for.
std::filesystem::path standardizedPath(const std::filesystem::path& path);

// The refusal of a path inside the root that is, or runs through, a symbolic link.
[[noreturn]] void refuseSymbolicLink();

} // namespace korvel
