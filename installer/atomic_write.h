#pragma once

#include <filesystem>
#include <string_view>

namespace korvel {

// Replaces target with bytes as a whole: the bytes go to a fresh temporary file in the
// target's directory, which is then renamed over the target, so a reader sees either the
// old content or the new one, never a mixture. Not flushed to stable storage; callers that
// need durability fsync themselves. The temporary file gets mode 0644 (before umask), like
// an ordinary new file. Platform failures throw std::filesystem::filesystem_error; the
// temporary file is removed on failure.
void writeFileAtomically(const std::filesystem::path& target, std::string_view bytes);

} // namespace korvel
