#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

namespace korvel {

// A file whose content must have a given SHA-256 digest.
struct DigestCheck {
    std::filesystem::path path;
    std::int64_t bytes = 0;  // its size; only orders the work
    std::string sha256;      // lowercase hexadecimal, as a ReleaseFile holds it
};

struct DigestVerdict {
    enum class Outcome { matched, mismatched, failed, skipped };
    Outcome outcome = Outcome::skipped;
    std::exception_ptr error;  // for failed: the error of the open, the read or the digest, unchanged
};

// Compares the digest of every file (as fileDigest computes it) with its expected digest, on
// as many threads as the machine has cores (the caller's thread among them), largest files
// first, so that the largest file, which bounds the time, starts at once. Answers one verdict
// per check, in the order of the checks, consistent with checking them one after another and
// stopping at the first failure: every verdict before the first one that is not `matched` is
// computed; any check after it may be `skipped`. The files are opened on the calling thread,
// in list order. Each thread holds one read buffer at a time. A failure to start a thread
// only means fewer threads; the caller's thread always works.
std::vector<DigestVerdict> checkDigests(const std::vector<DigestCheck>& checks);

} // namespace korvel
