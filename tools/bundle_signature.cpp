#include "tools/bundle_signature.h"

#include <functional>
#include <memory>
#include <vector>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include "policy/bootstrap_error.h"
#include "tools/bundle_listing.h"
#include "tools/tool_files.h"

namespace korvel {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view signatureTag = "ed25519 ";
constexpr std::size_t signatureBytes = 64;
constexpr std::int64_t codeResourcesLimit = 1 << 20;

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

// Only the exact text base64() makes of 64 bytes is accepted, so a signature has one form.
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

std::string sign(EVP_PKEY* key, std::string_view message) {
    DigestContext context(EVP_MD_CTX_new());
    std::string signature(signatureBytes, '\0');
    std::size_t length = signature.size();
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key) != 1 ||
        EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1 ||
        length != signatureBytes) {
        throwCryptoError("EVP_DigestSign");
    }
    return signature;
}

bool signatureVerifies(EVP_PKEY* key, std::string_view signature, std::string_view message) {
    DigestContext context(EVP_MD_CTX_new());
    if (!context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key) != 1) {
        throwCryptoError("EVP_DigestVerifyInit");
    }
    const bool verified =
        EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                         reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
    ERR_clear_error();  // a mismatch leaves an entry that must not reach a later error report
    return verified;
}

// Splits CodeResources into the signed listing and the signature of its last line.
std::pair<std::string_view, std::string> signedListing(std::string_view resources) {
    const auto malformed = [] { return BootstrapError::invalid("CodeResources does not end with a signature line."); };
    if (!resources.ends_with('\n')) {
        throw malformed();
    }
    const std::string_view body = resources.substr(0, resources.size() - 1);
    const std::size_t lastLine = body.rfind('\n') + 1;  // npos + 1 == 0: a single line
    const std::string_view line = body.substr(lastLine);
    std::string signature;
    if (!line.starts_with(signatureTag) || !decodeSignature(line.substr(signatureTag.size()), signature)) {
        throw malformed();
    }
    return {resources.substr(0, lastLine), std::move(signature)};
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

std::string codeResources(const fs::path& bundle, std::string_view privateKeyPem) {
    const Key key = privateKey(privateKeyPem);
    const std::string listing = canonicalListing(scanBundle(bundle));
    return listing + std::string(signatureTag) + base64(sign(key.get(), listing)) + "\n";
}

void signBundle(const fs::path& bundle, std::string_view privateKeyPem) {
    const std::string resources = codeResources(bundle, privateKeyPem);
    const fs::path target = bundle / codeResourcesPath;
    fs::create_directories(target.parent_path());
    writeFileAtomically(target, resources, Durability::flushed);
}

void verifyBundle(const fs::path& bundle, std::string_view publicKeyPem) {
    if (publicKeyPem.empty()) {
        throw BootstrapError::invalid("This build trusts no signing key, so it accepts no bundle.");
    }
    const Key key = publicKey(publicKeyPem);
    if (fs::symlink_status(bundle).type() != fs::file_type::directory) {
        throw BootstrapError::invalid("Not a bundle directory: " + bundle.string() + ".");
    }
    const std::string resources = readSmallFile(bundle / codeResourcesPath, codeResourcesLimit);
    const auto [listing, signature] = signedListing(resources);
    if (!signatureVerifies(key.get(), signature, listing)) {
        throw BootstrapError::invalid("The signature does not match the listing, or was made with another key.");
    }
    const std::vector<BundleFile> listed = parseListing(listing);
    std::vector<BundleFile> actual = scanBundle(bundle);
    std::erase_if(actual, [](const BundleFile& file) { return file.path == codeResourcesPath; });
    const std::vector<std::string> differences = listingDifferences(listed, actual);
    if (!differences.empty()) {
        std::string text = "The bundle differs from its signed listing:";
        for (const auto& difference : differences) {
            text += "\n  " + difference;
        }
        throw BootstrapError::invalid(text);
    }
}

} // namespace korvel
