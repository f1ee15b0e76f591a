#pragma once

#include <stdexcept>
#include <string>

namespace korvel {

// A failure of the HTTPS transport itself: no connection, a refused certificate, a cut
// connection, a timeout. code() is libcurl's CURLcode as a plain int (so this header needs
// no libcurl); what() is libcurl's text for that code, followed by ": " and libcurl's
// detailed message of this transfer when it gave one, e.g.
// "Transferred a partial file: end of response with 100 bytes missing".
class TransportError : public std::runtime_error {
public:
    TransportError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}

    int code() const noexcept { return code_; }

private:
    int code_;
};

} // namespace korvel
