#include "installer/streaming_digest.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>

#include "base/posix_io.h"
#include "base/sha256.h"

namespace korvel {

namespace {

// How long the follower waits at the end of the data written so far when no report comes:
// short against a transfer, long against a read that finds nothing new.
constexpr auto pollInterval = std::chrono::milliseconds(1);

} // namespace

StreamingDigest::StreamingDigest(std::filesystem::path path) : path(std::move(path)) {
    try {
        follower = std::thread([this] { follow(); });
        following = true;
    } catch (const std::system_error&) {
        // No thread, no follower: finish() answers none and the file is read back.
    }
}

StreamingDigest::~StreamingDigest() { stop(); }

void StreamingDigest::stop() {
    {
        const std::lock_guard<std::mutex> hold(mutex);
        stopping = true;
    }
    wake.notify_one();
    if (follower.joinable()) {
        follower.join();
    }
}

void StreamingDigest::written() {
    if (!following) {
        return;
    }
    {
        const std::lock_guard<std::mutex> hold(mutex);
        // O_NONBLOCK: whatever the download made of the path, opening it must not wait.
        if (!std::exchange(opened, true)) {
            file = UniqueFd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        }
        ++reports;
    }
    wake.notify_one();
}

std::optional<std::string> StreamingDigest::finish(std::uint64_t checkedDevice, std::uint64_t checkedInode,
                                                   std::int64_t checkedSize) {
    {
        const std::lock_guard<std::mutex> hold(mutex);
        writerDone = true;
    }
    wake.notify_one();
    if (follower.joinable()) {
        follower.join();
    }
    if (digest && device == checkedDevice && inode == checkedInode && hashed == checkedSize) {
        return digest;
    }
    return std::nullopt;
}

void StreamingDigest::waitForMore(std::uint64_t& reportsSeen) {
    std::unique_lock<std::mutex> hold(mutex);
    wake.wait_for(hold, pollInterval, [&] { return reports != reportsSeen || writerDone || stopping; });
    reportsSeen = reports;
}

void StreamingDigest::follow() {
    int fd = -1;
    std::uint64_t reportsSeen = 0;
    {
        std::unique_lock<std::mutex> hold(mutex);
        wake.wait(hold, [this] { return opened || writerDone || stopping; });
        if (stopping || !file) {
            return;
        }
        fd = file.get();
        reportsSeen = reports;
    }
    try {
        struct stat info {};
        if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            return;
        }
        Sha256 sha256;
        const auto chunk = std::make_unique_for_overwrite<unsigned char[]>(digestChunkBytes);
        for (;;) {
            // Read before the data: when the download had returned, this pass reaches the end.
            const bool last = writerDone;
            while (const std::size_t count = readSome(fd, chunk.get(), digestChunkBytes, path)) {
                if (stopping) {
                    return;
                }
                sha256.update(chunk.get(), count);
                hashed += static_cast<std::int64_t>(count);
            }
            // A file cut shorter than what was read no longer holds what was hashed.
            struct stat now {};
            if (::fstat(fd, &now) != 0 || now.st_size < hashed) {
                return;
            }
            if (stopping) {
                return;
            }
            if (last) {
                break;
            }
            waitForMore(reportsSeen);
        }
        device = static_cast<std::uint64_t>(info.st_dev);
        inode = static_cast<std::uint64_t>(info.st_ino);
        digest = sha256.finishHex();
    } catch (...) {
        // The caller reads the file back instead, and meets the error again if it persists.
    }
}

} // namespace korvel
