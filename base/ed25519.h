#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace korvel {

// A failure inside OpenSSL (unreadable key, failed key generation), carrying the text of
// OpenSSL's error queue.
class CryptoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An Ed25519 key pair in PEM: PKCS#8 private key, SubjectPublicKeyInfo public key.
struct SigningKeyPair {
    std::string privatePem;
    std::string publicPem;
};

SigningKeyPair generateSigningKeyPair();

// The Ed25519 signature of message as "ed25519 " + the base64 of its 64 bytes: the one text
// form of a signature, in bundle signatures and manifest signatures alike. Throws CryptoError
// for a key that is not an Ed25519 private key.
std::string signatureLine(std::string_view privateKeyPem, std::string_view message);

// Whether line is exactly the signatureLine of message under the private half of
// publicKeyPem. Any other form of the text is refused, so a signature has one spelling.
// Throws CryptoError for a key that is not an Ed25519 public key.
bool signatureLineVerifies(std::string_view publicKeyPem, std::string_view line, std::string_view message);

} // namespace korvel
