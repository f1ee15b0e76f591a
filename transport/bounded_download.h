#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "installer/operations.h"

namespace korvel {

struct TransportOptions {
    // For tests and the demo build only; a release build passes neither.
    std::filesystem::path caFile;                   // trust anchors (PEM) used instead of the system store
    std::map<std::string, std::string> connectTo;   // approved host -> "address:port" to connect to

    // Resumable transfers, off by default. The destination may already hold the first bytes
    // of the body from an interrupted attempt: the constructor keeps them (a regular file is
    // opened or created, never replaced), and fetch() asks for the rest with
    // "Range: bytes=N-", accepting only a 206 whose Content-Range starts at N and ends at the
    // limit, which is then the file's expected size; a 200 restarts the file from its first
    // byte. A refused ranged response also empties the file, so that the next attempt asks
    // for the whole body. The transfer is bounded by progress instead of by a total time: it
    // fails when fewer than minimumRate bytes per second arrive over 60 seconds.
    bool resume = false;
};

// 16 KiB/s over any 60 s: far below the 125 KB/s of a 1 Mbit/s link, at which the largest
// release (2 GiB) still arrives, and far above a connection that is merely kept alive.
inline constexpr long minimumRate = 16 * 1024;

// Options that reach both approved hosts at address ("host:port"; none when empty) and trust
// caFile instead of the system store: the demo build, the tests and the benches serve both
// hosts from one loopback server.
TransportOptions loopbackTransportOptions(const std::filesystem::path& caFile, const std::string& address);

// One HTTPS transfer into a fresh staging file, bounded by a byte limit, without redirects.
// The constructor creates the staging file (mode 0600, exclusively; see TransportOptions::resume
// for the one exception); fetch() runs the transfer once. On failure the staging file is left
// for the caller to remove.
class BoundedDownload {
public:
    BoundedDownload(std::filesystem::path destination, std::int64_t limit, Progress progress,
                    TransportOptions options = {});
    ~BoundedDownload();
    BoundedDownload(const BoundedDownload&) = delete;
    BoundedDownload& operator=(const BoundedDownload&) = delete;

    void fetch(const std::string& url);

private:
    struct Transfer;
    std::unique_ptr<Transfer> transfer;
};

// The installer's download operation: a BoundedDownload without options.
void downloadFile(const std::string& url, const std::filesystem::path& destination, std::int64_t limit,
                  const Progress& progress);

} // namespace korvel
