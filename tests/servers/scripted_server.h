#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/servers/child_process.h"
#include "tests/servers/test_certificates.h"
#include "tests/support/temp_dir.h"

namespace korvel::testing {

struct ScriptedRequest {
    std::string method;
    std::string target;
    std::vector<std::pair<std::string, std::string>> headers;  // in the order sent
};

// The scripted TLS server (scripted_tls_server.py, whose comment lists its paths: /body/N[/SENT],
// /chunked/N, /cut/N[/DELAY_MS], /trickle/COUNT/SIZE/GAP_MS, /cookie) on a
// free port of 127.0.0.1, with its own throwaway CA: the misbehaviour nginx will not produce.
// It logs every accepted connection and every request before it answers: once a client has its
// answer, everything that reached the server before it is in the log.
class ScriptedServer {
public:
    ScriptedServer();

    int port() const { return port_; }
    TransportOptions transportOptions(const std::vector<std::string>& extraHosts = {}) const {
        return loopbackTransport(port_, certificates_.caFile(), extraHosts);
    }

    std::size_t connections() const;
    std::vector<ScriptedRequest> requests() const;

private:
    TempDir directory_;
    TestCertificates certificates_;
    std::unique_ptr<ChildProcess> process_;
    int port_ = 0;
};

// The first size bytes of every body the scripted server sends: byte i is i % 251.
std::string scriptedBody(std::size_t size);

} // namespace korvel::testing
