#include "base/ed25519.h"

#include <functional>
#include <memory>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

namespace korvel {

namespace {

constexpr std::string_view signatureTag = "ed25519 ";
constexpr std::size_t signatureBytes = 64;

struct OpenSslFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using Key = std::unique_ptr<EVP_PKEY, OpenSslFree>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, OpenSslFree>;
using Bio = std::unique_ptr<BIO, OpenSslFree>;

[[noreturn]] void throwCryptoError(const std::string& operation) {
    std::string text = operation;
    while (const unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        text += std::string(": ") + buffer;
    }
    throw CryptoError(text);
}

Bio memoryBio(std::string_view bytes) {
    Bio bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    if (!bio) {
        throwCryptoError("BIO_new_mem_buf");
    }
    return bio;
}

Key ed25519Key(Key key, const char* operation) {
    if (!key) {
        throwCryptoError(operation);
    }
    if (!EVP_PKEY_is_a(key.get(), "ED25519")) {
        throw CryptoError(std::string(operation) + ": not an Ed25519 key");
    }
    return key;
}

Key privateKey(std::string_view pem) {
    Bio bio = memoryBio(pem);
    return ed25519Key(Key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr)), "PEM_read_bio_PrivateKey");
}

Key publicKey(std::string_view pem) {
    Bio bio = memoryBio(pem);
    return ed25519Key(Key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr)), "PEM_read_bio_PUBKEY");
}

std::string pemText(const std::function<int(BIO*)>& write, const char* operation) {
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || write(bio.get()) != 1) {
        throwCryptoError(operation);
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

std::string base64(std::string_view bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(length));
    return text;
}

// Only the exact text base64() makes of 64 bytes is accepted.
bool decodeSignature(std::string_view text, std::string& signature) {
    if (text.size() != 4 * ((signatureBytes + 2) / 3)) {
        return false;
    }
    std::string bytes(text.size(), '\0');
    if (EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                        reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size())) < 0) {
        return false;
    }
    signature = bytes.substr(0, signatureBytes);
    return base64(signature) == text;
}

} // namespace

SigningKeyPair generateSigningKeyPair() {
    const Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    if (!key) {
        throwCryptoError("EVP_PKEY_Q_keygen");
    }
    return {pemText([&](BIO* bio) { return PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr); },
                    "PEM_write_bio_PrivateKey"),
            pemText([&](BIO* bio) { return PEM_write_bio_PUBKEY(bio, key.get()); }, "PEM_write_bio_PUBKEY")};
}

std::string signatureLine(std::string_view privateKeyPem, std::string_view message) {
    const Key key = privateKey(privateKeyPem);
    DigestContext context(EVP_MD_CTX_new());
    std::string signature(signatureBytes, '\0');
    std::size_t length = signature.size();
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1 ||
        length != signatureBytes) {
        throwCryptoError("EVP_DigestSign");
    }
    return std::string(signatureTag) + base64(signature);
}

bool signatureLineVerifies(std::string_view publicKeyPem, std::string_view line, std::string_view message) {
    const Key key = publicKey(publicKeyPem);
    std::string signature;
    if (!line.starts_with(signatureTag) || !decodeSignature(line.substr(signatureTag.size()), signature)) {
        return false;
    }
    DigestContext context(EVP_MD_CTX_new());
    if (!context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
        throwCryptoError("EVP_DigestVerifyInit");
    }
    const bool verified =
        EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                         reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
    ERR_clear_error();  // a mismatch leaves an entry that must not reach a later error report
    return verified;
}

} // namespace korvel
