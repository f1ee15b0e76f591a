#pragma once

#include <stdexcept>
#include <string>

namespace korvel {

// The system's own refusals. Each carries one complete sentence meant for the player;
// what() is that sentence unchanged. Platform failures never become a BootstrapError:
// they travel as their own types (std::system_error, DecodingError, TransportError).
class BootstrapError : public std::runtime_error {
public:
    static BootstrapError invalid(std::string message) { return BootstrapError(std::move(message)); }

private:
    explicit BootstrapError(std::string message) : std::runtime_error(message) {}
};

} // namespace korvel
