#include <iostream>
#include <string_view>

#include "policy/bootstrap_error.h"
#include "policy/bootstrap_policy.h"

// Exercises the public API through the embedded library; any answer other than the policy's
// own is a failure of the embedding.
int main() {
    using korvel::BootstrapPolicy;
    if (!BootstrapPolicy::validRelease("beta-7") || BootstrapPolicy::validRelease("CON")) {
        std::cerr << "validRelease answered wrongly\n";
        return 1;
    }
    try {
        BootstrapPolicy::parse(R"({"schema":2,"release":"beta-7","platforms":{}})");
    } catch (const korvel::BootstrapError& error) {
        if (std::string_view(error.what()) == "Unsupported online beta release manifest.") {
            return 0;
        }
        std::cerr << "parse refused with an unexpected message: " << error.what() << "\n";
        return 1;
    }
    std::cerr << "parse accepted a manifest of schema 2\n";
    return 1;
}
