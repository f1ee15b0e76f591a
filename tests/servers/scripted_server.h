#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/servers/child_process.h"
#include "tests/servers/test_certificates.h"
#include "tests/support/temp_dir.h"
#include "transport/bounded_download.h"

namespace korvel::testing {

struct ScriptedRequest {
    std::string method;
    std::string target;
    std::vector<std::pair<std::string, std::string>> headers;  // in the order sent

    // The value of the first header of that name, compared without regard to case.
    std::optional<std::string> header(const std::string& name) const;
};

// The scripted TLS server (scripted_tls_server.py) on a free port of 127.0.0.1, with its own
// throwaway CA: the misbehaviour nginx will not produce, chosen by request path (after an
// optional leading /online-beta, so release-file addresses reach it unchanged):
//   /body/N                     200, Content-Length N, N bytes of scriptedBody()
//   /chunked/N                  200, chunked, N bytes
//   /lying/ANNOUNCED/SENT       200, Content-Length ANNOUNCED, SENT bytes, then the connection closes
//   /cut/N[/DELAY_MS]           200, chunked, N bytes, DELAY_MS of silence, then a close without
//                               the final chunk
//   /trickle/COUNT/SIZE/GAP_MS  200, chunked, COUNT chunks of SIZE bytes, GAP_MS apart
//   /cookie                     200 with Set-Cookie, body "ok"
//   anything else               404
// It serves one request per connection, one connection at a time, and logs every accepted
// connection and every request before it answers: once a client has its answer, everything
// that reached the server before it is in the log.
class ScriptedServer {
public:
    ScriptedServer();
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int port() const { return port_; }
    const std::filesystem::path& caFile() const { return certificates_.caFile(); }

    // Both approved hosts, plus any extra host names given, lead to this server, and its CA is
    // trusted. Mapping a host the client should refuse makes a faulty client reach this
    // server (and its log) instead of the network.
    TransportOptions transportOptions(const std::vector<std::string>& extraHosts = {}) const;

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
