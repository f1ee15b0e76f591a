#include "launcher/error_description.h"

#include <filesystem>
#include <system_error>

namespace korvel {

std::string describeError(std::exception_ptr error) {
    try {
        if (error) {
            std::rethrow_exception(error);
        }
    } catch (const std::filesystem::filesystem_error& failure) {
        std::string sentence = failure.code().message();
        if (!failure.path1().empty()) {
            sentence += ": " + failure.path1().string();
        }
        if (!failure.path2().empty()) {
            sentence += ", " + failure.path2().string();
        }
        return sentence;
    } catch (const std::exception& failure) {
        return failure.what();
    } catch (...) {
    }
    return "An unexpected error stopped the launcher.";
}

} // namespace korvel
