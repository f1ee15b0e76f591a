#include <cerrno>
#include <filesystem>
#include <system_error>

#include <gtest/gtest.h>

#include "launcher/error_description.h"
#include "policy/bootstrap_error.h"
#include "policy/release.h"
#include "transport/transport_error.h"

namespace korvel {
namespace {

namespace fs = std::filesystem;

TEST(DescribeError, GivesTheSystemsSentencesUnchangedAndPlatformErrorsAsReadableSentences) {
    const auto fileError = [](int error, const fs::path& path1 = {}, const fs::path& path2 = {}) {
        return std::make_exception_ptr(
            fs::filesystem_error("rename", path1, path2, std::error_code(error, std::generic_category())));
    };
    const DecodingError decoding(DecodingError::Kind::keyNotFound, "release", "No value for key release.");
    const struct {
        const char* name;
        std::exception_ptr error;
        std::string description;
    } cases[] = {
        {"BootstrapError", std::make_exception_ptr(BootstrapError::invalid("The release manifest is not valid.")),
         "The release manifest is not valid."},
        {"file-system error with a path", fileError(ENOENT, "/home/p/root"), "No such file or directory: /home/p/root"},
        {"file-system error with two paths", fileError(EEXIST, "/r/.stage-A", "/r/releases/b1"),
         "File exists: /r/.stage-A, /r/releases/b1"},
        {"file-system error without a path", fileError(ENOSPC), "No space left on device"},
        {"TransportError", std::make_exception_ptr(TransportError(28, "Timeout was reached")), "Timeout was reached"},
        {"DecodingError", std::make_exception_ptr(decoding), decoding.what()},
        {"not a std::exception", std::make_exception_ptr(42), "An unexpected error stopped the launcher."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(describeError(c.error), c.description) << c.name;
    }
}

} // namespace
} // namespace korvel
