#include "tools/tool_files.h"

#include <optional>
#include <vector>

#include <fcntl.h>

#include "base/posix_io.h"
#include "base/unique_fd.h"
#include "policy/bootstrap_error.h"

namespace korvel {

namespace fs = std::filesystem;

std::string readSmallFile(const fs::path& path, std::int64_t limit) {
    std::optional<std::string> bytes = readRegularFile(path, limit);
    if (!bytes) {
        throw BootstrapError::invalid("Not a regular file of at most " + std::to_string(limit) +
                                      " bytes: " + path.string() + ".");
    }
    return std::move(*bytes);
}

void writeNewFile(const fs::path& path, std::string_view bytes, unsigned mode) {
    UniqueFd fd = openFile(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
    writeAll(fd.get(), bytes, path);
    syncAndClose(std::move(fd), path);
}

void copyFileDurably(const fs::path& source, const fs::path& target, const FileCheck& check) {
    const UniqueFd input = openFile(source, O_RDONLY | O_NOFOLLOW);
    const auto copy = [&](int output, const fs::path& temporary) { copyToEnd(input.get(), output, source, temporary); };
    replaceFileAtomically(target, copy, Durability::flushed, check);
}

} // namespace korvel
