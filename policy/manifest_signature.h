#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel {

// The signed layer over the fixed manifest policy. The release tooling signs the exact bytes
// of the manifest with Ed25519, under a domain prefix so that no other signed text of the
// project can pass for a manifest, into a detached signature file served beside it. The
// manifest carries members that the manifest decoder ignores, so launchers without the layer
// still accept it:
//   "sequence"  an integer from 1, strictly increasing from one publication to the next
//   "expires"   "YYYY-MM-DDTHH:MM:SSZ" (RFC 3339, UTC): a stale manifest is refused after it
//   "product", "channel", "platform": what the manifest is for
// Values are fixed when the launcher is built, like the rest of its policy.
struct ManifestTrust {
    std::vector<std::string> publicKeysPem;  // Ed25519, any of them may sign; empty: no layer
    std::string product = "korvel";
    std::string channel = "online-beta";
    std::string platform = "mac";
};

struct ManifestSignature {
    static const std::string url;  // the manifest's address + ".sig"
    static constexpr std::int64_t limit = 4096;
    static constexpr std::string_view domain = "korvel manifest signature v1\n";
};

// What an authenticated manifest says about itself.
struct SignedDetails {
    std::int64_t sequence = 0;
    std::int64_t expiresAt = 0;  // seconds since the Unix epoch
};

// Accepts a manifest document only when signatureFile is a signature of it by one of the
// trusted keys, and its signed details are well formed, name this launcher's product, channel
// and platform, and have not expired at now (Unix seconds). Checks run in that order; the
// first that fails throws BootstrapError with its sentence. Pure; safe on any thread.
SignedDetails authenticateManifest(std::string_view document, std::string_view signatureFile,
                                   const ManifestTrust& trust, std::int64_t now);

// The signature file of a manifest document, for the release tooling. Throws CryptoError for
// a key that is not an Ed25519 private key.
std::string manifestSignatureFile(std::string_view document, std::string_view privateKeyPem);

// The document with the signed details and the target added, for the release tooling: members
// in the order the decoder reads them, then "sequence", "expires", "product", "channel",
// "platform"; indented by two, ending in a newline. document must be a JSON object.
std::string withSignedDetails(std::string_view document, const SignedDetails& details, const ManifestTrust& target);

// The signed details as they stand in a document, without any check of the signature; none
// when they are missing or malformed. For the release tooling and the saved manifests of
// installed releases, which were authenticated when they were accepted.
std::optional<SignedDetails> signedDetails(std::string_view document);

// "YYYY-MM-DDTHH:MM:SSZ" and Unix seconds; none for any other form or an impossible date.
std::optional<std::int64_t> parseUtcTime(std::string_view text);
std::string formatUtcTime(std::int64_t seconds);

} // namespace korvel
