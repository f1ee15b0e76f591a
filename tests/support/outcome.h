#pragma once

#include <filesystem>
#include <functional>
#include <string>

namespace korvel::test {

// What operation did, as one line, so that tables compare strings: "" when it returned, else
// what it threw. A refusal (BootstrapError) gives its sentence; a file-system error its errno
// name and first path ("ENOENT releases/r1/x", relative to base when the path lies below it); a
// DecodingError its kind and coding path ("keyNotFound platforms.mac.files[3].sha256"); a
// TransportError "curl <code>"; any other std::exception its what(); anything else "unknown".
std::string outcomeOf(const std::function<void()>& operation, const std::filesystem::path& base = {});

} // namespace korvel::test
