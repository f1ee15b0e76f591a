#pragma once

#include <filesystem>

namespace korvel {

// Throws std::filesystem::filesystem_error carrying the errno value and the path.
// Callers capture errno right after the failing call, before anything else can change it.
[[noreturn]] void throwSystemError(int error, const char* operation, const std::filesystem::path& path);

} // namespace korvel
