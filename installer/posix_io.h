#pragma once

#include <cstddef>
#include <filesystem>
#include <string_view>

namespace korvel {

// read(2) retried when a signal interrupts it. Returns the bytes read, 0 only at end of file;
// a failure throws std::filesystem::filesystem_error with its errno and path.
std::size_t readSome(int fd, void* buffer, std::size_t size, const std::filesystem::path& path);

// Writes every byte, retrying short and interrupted writes; failures throw as above.
void writeAll(int fd, std::string_view bytes, const std::filesystem::path& path);

} // namespace korvel
