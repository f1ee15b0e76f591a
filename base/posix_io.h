#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace korvel {

// read(2) retried when a signal interrupts it. Returns the bytes read, 0 only at end of file;
// a failure throws std::filesystem::filesystem_error with its errno and path.
std::size_t readSome(int fd, void* buffer, std::size_t size, const std::filesystem::path& path);

// Writes every byte, retrying short and interrupted writes; failures throw as above.
void writeAll(int fd, std::string_view bytes, const std::filesystem::path& path);

// Copies from the descriptor's offset to its end into to, through one buffer; read errors name
// fromPath, write errors toPath. For file systems and kernels that cannot copy in the kernel.
void copyToEnd(int from, int to, const std::filesystem::path& fromPath, const std::filesystem::path& toPath);

// The content of a small regular file, or none when path is not a regular file or holds more
// than limit bytes. Opened without following a final link and without blocking, so neither a
// link nor a FIFO swapped in after a caller's own checks can redirect or hang the read; the
// type is judged on the open descriptor, and a file that grows while it is read still cannot
// make the read unbounded. Platform failures throw as above.
std::optional<std::string> readRegularFile(const std::filesystem::path& path, std::int64_t limit);

} // namespace korvel
