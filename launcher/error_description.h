#pragma once

#include <exception>
#include <string>

namespace korvel {

// What the failure alert says about an error, before the fixed advice. The system's own
// refusals (BootstrapError) give their sentence unchanged; libcurl's (TransportError) and the
// JSON decoder's (DecodingError) give their what(). A file-system error becomes the errno text
// followed by its paths ("No such file or directory: /path"), without the library's
// "filesystem error: open:" prefix. Never throws for a null or unknown error.
std::string describeError(std::exception_ptr error);

} // namespace korvel
