#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace korvel {

// Reads a regular file (a final symbolic link is refused) of at most limit bytes.
// Platform failures throw std::filesystem::filesystem_error; a larger file or one that is
// not regular throws BootstrapError naming it.
std::string readSmallFile(const std::filesystem::path& path, std::int64_t limit);

// Creates path exclusively with mode, writes bytes and flushes them to stable storage.
// An existing file is never touched: that fails with EEXIST.
void writeNewFile(const std::filesystem::path& path, std::string_view bytes, unsigned mode);

// The name prefix of the fresh files that copyFileDurably and writeFileDurably rename into
// place; one left behind was abandoned by an interrupted run.
inline constexpr std::string_view temporaryPrefix = ".publish-";

// Called with the finished copy before it is renamed into place; throws to abandon it.
using CopyCheck = std::function<void(const std::filesystem::path& copy)>;

// Copies source to target in one rename: the copy goes to a fresh file beside target, is
// flushed, checked, renamed over target, and the directory is flushed, so after a crash
// target is either absent (or its old content) or complete. The copy gets mode 0644.
void copyFileDurably(const std::filesystem::path& source, const std::filesystem::path& target,
                     const CopyCheck& check = {});

// Like copyFileDurably, for bytes held in memory.
void writeFileDurably(const std::filesystem::path& target, std::string_view bytes);

} // namespace korvel
