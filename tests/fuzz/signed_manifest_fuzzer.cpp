#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/ed25519.h"
#include "policy/bootstrap_error.h"
#include "policy/manifest_signature.h"

// Any bytes may arrive as a manifest and its signature file (split at the first NUL). The signed
// layer may refuse them only with BootstrapError; a manifest the fuzzer cannot sign must never
// pass. The signed details, which are read from documents nobody vouched for, must never throw,
// and a time they accept must read back as the same text.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const korvel::ManifestTrust trust{{korvel::generateSigningKeyPair().publicPem}};
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string_view document = input.substr(0, input.find('\0'));
    const std::string_view signature = input.substr(std::min(input.size(), document.size() + 1));
    if (const auto details = korvel::signedDetails(document);
        details && (details->sequence < 1 ||
                    korvel::parseUtcTime(korvel::formatUtcTime(details->expiresAt)) != details->expiresAt)) {
        std::abort();
    }
    try {
        korvel::authenticateManifest(document, signature, trust, 0);
        std::abort();
    } catch (const korvel::BootstrapError&) {
    }
    if (const auto time = korvel::parseUtcTime(document); time && korvel::formatUtcTime(*time) != document) {
        std::abort();
    }
    return 0;
}
