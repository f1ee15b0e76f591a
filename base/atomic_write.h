#pragma once

#include <filesystem>
#include <functional>
#include <string_view>

namespace korvel {

// What a replacement promises about a power loss. Both kinds promise that a reader, or a
// process that crashes, sees either the old content or the new one, never a mixture.
enum class Durability {
    // Nothing is flushed: after a power loss the target may hold the old content, the new
    // content, or (on some file systems) an empty file. For callers that flush the result
    // themselves or can lose it.
    none,
    // The new content is flushed before the rename, so a power loss leaves the old content or
    // the whole new one, never an empty or partial file; the rename itself becomes durable
    // only when the caller flushes the directory, which lets it flush once after several
    // changes, or treat that flush as optional.
    contentFlushed,
    // As contentFlushed, and the directory is flushed after the rename: once the call
    // returns, the new content survives a power loss.
    flushed,
};

// Writes the content of a replacement into the open temporary file.
using FileFill = std::function<void(int fd, const std::filesystem::path& temporary)>;
// Looks at the finished temporary file before it replaces the target; throws to abandon it.
using FileCheck = std::function<void(const std::filesystem::path& temporary)>;

// Replaces target as a whole: the content goes to a fresh temporary file in the target's
// directory (named by atomicWriteLeftover's rule), which gets mode 0644 whatever the umask and
// is then renamed over the target. Platform failures throw std::filesystem::filesystem_error;
// the temporary file is removed on any failure.
void replaceFileAtomically(const std::filesystem::path& target, const FileFill& fill, Durability durability,
                           const FileCheck& check = {});

void writeFileAtomically(const std::filesystem::path& target, std::string_view bytes,
                         Durability durability = Durability::none);

// Whether a file name is that of a temporary file a replacement abandoned when its process
// died: "." + the target's name + "." + a UUID + ".tmp".
bool isAtomicWriteLeftover(const std::filesystem::path& name);

} // namespace korvel
