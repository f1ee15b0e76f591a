#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace korvel {

// Incremental SHA-256 through OpenSSL's EVP interface, which uses the processor's SHA
// extensions where it has them. One object per computation; not shared between threads.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const void* data, std::size_t size);

    // The digest as 64 lowercase hexadecimal characters. Ends the computation.
    std::string finishHex();

private:
    struct ContextFree {
        void operator()(evp_md_ctx_st* context) const;
    };
    std::unique_ptr<evp_md_ctx_st, ContextFree> context;
};

// The read size of every digest: large reads keep the system-call cost per byte low, and a
// chunk this size still sits in the core's own cache while it is hashed.
constexpr std::size_t digestChunkBytes = 1 << 20;

// The lowercase hexadecimal digest of bytes held in memory.
std::string sha256Hex(std::string_view bytes);

// The lowercase hexadecimal digest of the open file from the descriptor's offset to its end,
// read through one buffer of digestChunkBytes. path only names the file in errors.
std::string digestToEnd(int fd, const std::filesystem::path& path);

// The lowercase hexadecimal digest of a file's content. Part of the library's interface, where
// installer/online_installer.h declares it too.
std::string fileDigest(const std::filesystem::path& path);

} // namespace korvel
