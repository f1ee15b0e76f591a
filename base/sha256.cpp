#include "base/sha256.h"

#include <memory>
#include <new>
#include <stdexcept>

#include <fcntl.h>

#include <openssl/evp.h>

#include "base/posix_io.h"
#include "base/unique_fd.h"

namespace korvel {

namespace {

void require(int result) {
    if (result != 1) {
        throw std::runtime_error("SHA-256 is unavailable.");
    }
}

} // namespace

void Sha256::ContextFree::operator()(evp_md_ctx_st* context) const { EVP_MD_CTX_free(context); }

Sha256::Sha256() : context(EVP_MD_CTX_new()) {
    if (!context) {
        throw std::bad_alloc();
    }
    require(EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr));
}

Sha256::~Sha256() = default;

void Sha256::update(const void* data, std::size_t size) { require(EVP_DigestUpdate(context.get(), data, size)); }

std::string Sha256::finishHex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    require(EVP_DigestFinal_ex(context.get(), digest, &length));
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        text += digits[digest[i] >> 4];
        text += digits[digest[i] & 0x0f];
    }
    return text;
}

std::string sha256Hex(std::string_view bytes) {
    Sha256 digest;
    digest.update(bytes.data(), bytes.size());
    return digest.finishHex();
}

std::string digestToEnd(int fd, const std::filesystem::path& path) {
    // Only a hint (a longer read-ahead for a file that is not cached yet); it cannot change
    // the digest, so its result is ignored.
#if defined(POSIX_FADV_SEQUENTIAL)
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    Sha256 digest;
    const auto chunk = std::make_unique_for_overwrite<unsigned char[]>(digestChunkBytes);
    while (const std::size_t count = readSome(fd, chunk.get(), digestChunkBytes, path)) {
        digest.update(chunk.get(), count);
    }
    return digest.finishHex();
}

std::string fileDigest(const std::filesystem::path& path) {
    const UniqueFd fd = openFile(path, O_RDONLY);
    return digestToEnd(fd.get(), path);
}

} // namespace korvel
