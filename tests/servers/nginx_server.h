#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/servers/child_process.h"
#include "tests/support/temp_dir.h"
#include "transport/bounded_download.h"

namespace korvel::test {

// (Every member has an initializer, so designated initializers may name only some.)
struct NginxOptions {
    // A site tree as korvel-release publishes it, each host served from site/<host>. Empty: a
    // private docroot() that every host shares.
    std::filesystem::path site{};
    int port = 0;  // 0: a free port; else one tried once (a client may have it built in)
    int bytesPerSecond = 0;  // nginx's limit_rate for every response; 0: none
};

// nginx serving over TLS on 127.0.0.1 with the suite's certificate, as one foreground process
// with its configuration, logs and temporary files in a private directory; the destructor kills
// it. Files placed in docroot() at any time are served at "/" + their path relative to it.
class NginxServer {
public:
    explicit NginxServer(NginxOptions options = {});

    const std::filesystem::path& docroot() const { return docroot_; }
    std::filesystem::path caFile() const { return KORVEL_TEST_CERTIFICATES "/ca.pem"; }
    int port() const { return port_; }
    pid_t pid() const { return process->pid(); }
    TransportOptions transportOptions() const {
        return loopbackTransportOptions(caFile(), "127.0.0.1:" + std::to_string(port_));
    }

    // The targets of the requests logged so far, in order, once there are at least count of them
    // (nginx logs a request a moment after the client has its answer), or after a generous wait.
    std::vector<std::string> waitForRequests(std::size_t count) const;

    // Every response logged so far, one line each: "<status> <body bytes sent> <Range asked> <target>".
    std::string responses() const;
    long long bytesSent() const;  // the body bytes of every response logged so far

private:
    TempDir directory;
    std::filesystem::path docroot_;
    int port_ = 0;
    std::unique_ptr<ChildProcess> process;
};

} // namespace korvel::test
