#include "base/system_error.h"

#include <system_error>

namespace korvel {

void throwSystemError(int error, const char* operation, const std::filesystem::path& path) {
    throw std::filesystem::filesystem_error(operation, path, std::error_code(error, std::generic_category()));
}

} // namespace korvel
