#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "policy/bootstrap_error.h"
#include "policy/bootstrap_policy.h"

// Any bytes may arrive as a manifest. The gate may refuse them only with its own two error
// types; any other exception, crash or sanitizer report is a fault. What it accepts must hold
// what its callers rely on.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using korvel::BootstrapPolicy;
    const std::string_view document(reinterpret_cast<const char*>(data), size);
    try {
        const korvel::ReleaseManifest manifest = BootstrapPolicy::parse(document);
        const bool holdsThePolicy = document.size() <= static_cast<std::size_t>(BootstrapPolicy::manifestLimit) &&
                                    manifest.schema == 1 && BootstrapPolicy::validRelease(manifest.release) &&
                                    manifest.platforms.at("mac").files.size() == BootstrapPolicy::paths.size();
        if (!holdsThePolicy) {
            std::abort();
        }
    } catch (const korvel::BootstrapError&) {
    } catch (const korvel::DecodingError&) {
    }
    return 0;
}
