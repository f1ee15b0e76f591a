#pragma once

#include <cstdint>
#include <filesystem>

namespace korvel {

// Creates the fresh file to (exclusively, without following a link, mode 0600) holding the
// bytes bytes of the regular file open for reading at from, in the kernel: a reflink where the
// file system shares extents (btrfs, XFS, APFS), otherwise a copy that never passes through
// this process. Never a hard link: the two stay independent inodes, so changing one never
// changes the other. Platform failures throw std::filesystem::filesystem_error naming to; the
// caller removes a file left half made.
void cloneFile(int from, std::int64_t bytes, const std::filesystem::path& to);

// Swaps two directory entries in one atomic step (renameat2 with RENAME_EXCHANGE on Linux,
// renamex_np with RENAME_SWAP on macOS): at every moment each name holds one of the two. False
// when the platform or file system cannot; other failures throw.
bool exchangeEntries(const std::filesystem::path& first, const std::filesystem::path& second);

} // namespace korvel
