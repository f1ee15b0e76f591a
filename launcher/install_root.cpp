#include "launcher/install_root.h"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include <pwd.h>
#include <unistd.h>

#include "base/system_error.h"
#include "base/unique_fd.h"

namespace korvel {
namespace {

std::filesystem::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return home;
    }
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    const int error = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found);
    if (found == nullptr || entry.pw_dir == nullptr || *entry.pw_dir == '\0') {
        throwSystemError(error != 0 ? error : ENOENT, "getpwuid_r", "~");
    }
    return entry.pw_dir;
}

} // namespace

std::filesystem::path installRoot() {
    const char* xdgDataHome = std::getenv("XDG_DATA_HOME");
    return installRoot(homeDirectory(), xdgDataHome != nullptr ? xdgDataHome : "");
}

std::filesystem::path installRoot(const std::filesystem::path& home, std::string_view xdgDataHome) {
#if defined(__APPLE__)
    static_cast<void>(xdgDataHome);
    return home / "Library/Application Support/Korvel/OnlineBetaClient";
#else
    const std::filesystem::path dataHome = std::filesystem::path(xdgDataHome).is_absolute()
                                               ? std::filesystem::path(xdgDataHome)
                                               : home / ".local/share";
    return dataHome / "Korvel/OnlineBetaClient";
#endif
}

} // namespace korvel
