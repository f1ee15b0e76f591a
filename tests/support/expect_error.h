#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

#include "policy/bootstrap_error.h"

namespace korvel::testing {

// The Error that operation throws, or nullopt when it returns; any other error propagates.
template <class Error, class Operation>
std::optional<Error> thrownBy(Operation&& operation) {
    try {
        operation();
    } catch (const Error& error) {
        return error;
    }
    return std::nullopt;
}

// Success when operation throws BootstrapError with exactly message, or, for an empty
// message, when it does not throw.
template <class Operation>
::testing::AssertionResult throwsBootstrapError(Operation&& operation, const std::string& message) {
    try {
        operation();
    } catch (const BootstrapError& error) {
        return error.what() == message ? ::testing::AssertionSuccess()
                                       : ::testing::AssertionFailure() << "refused with \"" << error.what() << "\"";
    } catch (const std::exception& error) {
        return ::testing::AssertionFailure() << "other error \"" << error.what() << "\"";
    }
    return message.empty() ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << "no error";
}

// Success when operation throws the file system's error with this errno and path.
template <class Operation>
::testing::AssertionResult throwsSystemError(Operation&& operation, int error, const std::filesystem::path& path) {
    try {
        operation();
    } catch (const std::filesystem::filesystem_error& thrown) {
        return thrown.code() == std::error_code(error, std::generic_category()) && thrown.path1() == path
                   ? ::testing::AssertionSuccess()
                   : ::testing::AssertionFailure() << "filesystem_error \"" << thrown.what() << "\"";
    } catch (const std::exception& thrown) {
        return ::testing::AssertionFailure() << "other error \"" << thrown.what() << "\"";
    }
    return ::testing::AssertionFailure() << "no error";
}

} // namespace korvel::testing
