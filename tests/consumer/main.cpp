#include <string_view>

#include "policy/bootstrap_error.h"
#include "policy/bootstrap_policy.h"

// Exercises the public API through the embedded library; any answer other than the policy's own
// is a failure of the embedding.
int main() {
    try {
        korvel::BootstrapPolicy::parse(R"({"schema":2,"release":"beta-7","platforms":{}})");
    } catch (const korvel::BootstrapError& error) {
        return std::string_view(error.what()) == "Unsupported online beta release manifest." ? 0 : 1;
    }
    return 1;
}
