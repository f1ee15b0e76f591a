#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/servers/child_process.h"
#include "tests/servers/test_certificates.h"
#include "tests/support/temp_dir.h"

namespace korvel::testing {

// A fixed answer at one exact path: "location = <path> { return <status> <argument>; }".
// For a 3xx the argument is the Location; otherwise it is the body text (may be empty).
struct NginxReturn {
    std::string path;
    int status = 200;
    std::string argument;
};

// (Every member has an initializer, so designated initializers may name only some.)
struct NginxOptions {
    std::vector<NginxReturn> returns{};
    // A site tree as korvel-release publishes it, each host served from site/<host>. Empty: a
    // private docroot() that every host shares.
    std::filesystem::path site{};
    int port = 0;                          // 0: a free port; else one tried once (a client may have it built in)
    std::filesystem::path certificates{};  // where the throwaway CA is made; empty: a private directory
};

// nginx serving over TLS on 127.0.0.1, with a throwaway CA (caFile()). Runs in the foreground as
// one process (no master, no workers), with its configuration, logs and temporary files in a
// private directory; the destructor kills it. Files placed in docroot() (the site, when given)
// any time are served at "/" + their path relative to it (to its host's directory).
class NginxServer {
public:
    explicit NginxServer(NginxOptions options = {});
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    const std::filesystem::path& docroot() const { return docroot_; }
    const std::filesystem::path& caFile() const { return certificates_.caFile(); }
    int port() const { return port_; }
    pid_t pid() const { return process_->pid(); }

    TransportOptions transportOptions() const { return loopbackTransport(port_, caFile()); }

    // The targets of the requests logged so far ("/online-beta/manifest.json", ...), in order.
    // nginx logs a request when it has finished it, which may be a moment after the client has its
    // answer: waitForRequests() polls until at least count are there (or throws after a generous
    // deadline).
    std::vector<std::string> requests() const;
    std::vector<std::string> waitForRequests(std::size_t count) const;

private:
    TempDir directory_;
    TestCertificates certificates_;
    std::filesystem::path docroot_;
    int port_ = 0;
    std::unique_ptr<ChildProcess> process_;
};

} // namespace korvel::testing
