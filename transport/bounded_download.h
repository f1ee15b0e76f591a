#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "installer/operations.h"

namespace korvel {

// For tests and the demo build only; a release build passes none of this.
struct TransportOptions {
    std::filesystem::path caFile;                   // trust anchors (PEM) used instead of the system store
    std::map<std::string, std::string> connectTo;   // approved host -> "address:port" to connect to
};

// Options that reach both approved hosts at address ("host:port"; none when empty) and trust
// caFile instead of the system store: the demo build, the tests and the benches serve both
// hosts from one loopback server.
TransportOptions loopbackTransportOptions(const std::filesystem::path& caFile, const std::string& address);

// One HTTPS transfer into a fresh staging file, bounded by a byte limit, without redirects.
// The constructor creates the staging file (mode 0600, exclusively); fetch() runs the
// transfer once. On failure the staging file is left for the caller to remove.
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
