#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "base/atomic_write.h"

namespace korvel {

// Reads a regular file (a final symbolic link is refused) of at most limit bytes.
// Platform failures throw std::filesystem::filesystem_error; a larger file or one that is
// not regular throws BootstrapError naming it.
std::string readSmallFile(const std::filesystem::path& path, std::int64_t limit);

// Creates path exclusively with mode, writes bytes and flushes them to stable storage.
// An existing file is never touched: that fails with EEXIST.
void writeNewFile(const std::filesystem::path& path, std::string_view bytes, unsigned mode);

// Copies source to target in one durable replacement (Durability::flushed): after a crash
// target holds its old content or the complete copy. check sees the flushed copy first.
void copyFileDurably(const std::filesystem::path& source, const std::filesystem::path& target,
                     const FileCheck& check = {});

} // namespace korvel
