#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/servers/child_process.h"
#include "tests/servers/test_certificates.h"
#include "tests/support/temp_dir.h"
#include "transport/bounded_download.h"

namespace korvel::testing {

// A fixed answer at one exact path: "location = <path> { return <status> <argument>; }".
// For a 3xx the argument is the Location; otherwise it is the body text (may be empty).
struct NginxReturn {
    std::string path;
    int status = 200;
    std::string argument;
};

// One line of the access log: what nginx received and answered.
struct AccessLogEntry {
    std::string method;
    std::string target;  // as requested, query included
    int status = 0;
    std::string host;    // the Host the request named
};

// nginx serving docroot() over TLS on a free port of 127.0.0.1, with its own throwaway CA
// (caFile()). Runs in the foreground as one process (no master, no workers), with its
// configuration, logs and temporary files in a private directory; the destructor kills it.
// Files placed in docroot() any time are served at "/" + their relative path.
class NginxServer {
public:
    explicit NginxServer(std::vector<NginxReturn> returns = {});
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    const std::filesystem::path& docroot() const { return docroot_; }
    const std::filesystem::path& caFile() const { return certificates_.caFile(); }
    int port() const { return port_; }
    pid_t pid() const { return process_->pid(); }

    // Both approved hosts lead to this server, and its CA is trusted.
    TransportOptions transportOptions() const;

    // The requests logged so far. nginx writes a line when it has finished a request, which may
    // be a moment after the client has its answer: waitForAccessLog() polls until at least
    // `entries` lines are there (or throws after a generous deadline).
    std::vector<AccessLogEntry> accessLog() const;
    std::vector<AccessLogEntry> waitForAccessLog(std::size_t entries) const;

private:
    bool start(const std::vector<NginxReturn>& returns);

    TempDir directory_;
    TestCertificates certificates_;
    std::filesystem::path docroot_;
    int port_ = 0;
    std::unique_ptr<ChildProcess> process_;
};

// A port of 127.0.0.1 that was free a moment ago.
int freeLoopbackPort();

// Polls until something accepts connections on 127.0.0.1:port; throws when the process exits
// first or a generous deadline passes.
void waitUntilAccepting(int port, ChildProcess& process, const std::string& name);

} // namespace korvel::testing
