#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "base/unique_fd.h"

namespace korvel {

// The SHA-256 digest of a file computed while a download writes it, on a thread of its own, so
// that hashing overlaps the transfer instead of following it as a second pass over the data.
//
// Why a follower that reads the file: the download is an injected operation with a fixed
// signature that hands over nothing but a destination path and progress counts, so the bytes
// cannot be fed to the digest on their way to the disk without changing what every download
// (the bounded HTTPS download, a stub, a test's misbehaving fake) must do. Reading them back
// from the page cache moments after they were written costs one copy and works with any
// download; hashing them after the download has returned would leave the whole file's hash
// on the critical path.
//
// The first progress report opens the file (on the reporting thread, the download's own, so
// that the opens of an installation stay on one thread); from then on the follower hashes
// whatever has been appended, waking at each report and otherwise every millisecond, until
// finish() says the download has returned, and then reads to the end once more. This relies
// on what a download is, a fresh file written front to back: bytes once written are final.
// finish() answers a digest only for the very file at the path (same device and inode), read
// to exactly the size the caller checked. A file replaced, cut shorter or never reported,
// and any error of the follower's own, answer none; the caller then reads the file back and
// meets any lasting error itself. The caller also reads back whenever the answer does not
// match, so a mismatch is always judged on the file as it is; only a download that rewrote
// bytes in place after writing them could make a match stale, and the staged tree is hashed
// again from disk before anything is moved into place.
class StreamingDigest {
public:
    explicit StreamingDigest(std::filesystem::path path);
    ~StreamingDigest();
    StreamingDigest(const StreamingDigest&) = delete;
    StreamingDigest& operator=(const StreamingDigest&) = delete;

    // To be called from the download's progress: bytes have been written. Any thread.
    void written();

    // After the download has returned and the file's type and size were checked: the digest
    // of the file, when the follower read exactly the file with this device, inode and size.
    std::optional<std::string> finish(std::uint64_t device, std::uint64_t inode, std::int64_t size);

private:
    void follow();
    void waitForMore(std::uint64_t& reportsSeen);
    void stop();

    const std::filesystem::path path;

    // Changed under the mutex, so that a waiting follower cannot miss a change; the two flags
    // are also read without it between reads.
    std::mutex mutex;
    std::condition_variable wake;
    UniqueFd file;  // opened at the first report
    bool opened = false;  // the open was attempted
    std::uint64_t reports = 0;
    std::atomic<bool> writerDone{false};
    std::atomic<bool> stopping{false};

    // Written by the follower, read only after it has been joined.
    std::optional<std::string> digest;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t hashed = 0;

    std::thread follower;    // started in the constructor's body, once every member exists
    bool following = false;  // the follower started; set before any report can arrive
};

} // namespace korvel
