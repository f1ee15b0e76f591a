#include "tests/servers/nginx_server.h"

#include <sstream>
#include <stdexcept>
#include <system_error>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/eventually.h"

namespace korvel::testing {

namespace fs = std::filesystem;

namespace {

// A port of 127.0.0.1 that was free a moment ago.
int freeLoopbackPort() {
    const UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
    socklen_t length = sizeof address;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::system_error(errno, std::generic_category(), "bind 127.0.0.1:0");
    }
    return ntohs(address.sin_port);
}

std::string configuration(const fs::path& root, const fs::path& docroot, const TestCertificates& certificates,
                          int port, const NginxOptions& options) {
    const auto quoted = [](const fs::path& path) { return "\"" + path.string() + "\""; };
    std::ostringstream conf;
    conf << "master_process off; pid " << quoted(root / "nginx.pid") << ";\n"
         << "error_log " << quoted(root / "error.log") << " warn;\n"
         << "events { worker_connections 64; }\n"
         << "http {\n  log_format korvel '$request_uri';\n"
         << "  access_log " << quoted(root / "access.log") << " korvel;\n";
    for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
        conf << "  " << temp << "_temp_path " << quoted(root / "temp" / temp) << ";\n";
    }
    conf << "  default_type application/octet-stream;\n"
         << "  server {\n    listen 127.0.0.1:" << port << " ssl;\n"
         << "    ssl_certificate " << quoted(certificates.certificateFile()) << ";\n"
         << "    ssl_certificate_key " << quoted(certificates.keyFile()) << ";\n"
         << "    root " << quoted(options.site.empty() ? docroot : docroot / "$host") << ";\n";
    for (const NginxReturn& entry : options.returns) {
        conf << "    location = " << entry.path << " { return " << entry.status
             << (entry.argument.empty() ? "" : " \"" + entry.argument + "\"") << "; }\n";
    }
    conf << "  }\n}\n";
    return conf.str();
}

} // namespace

NginxServer::NginxServer(NginxOptions options)
    : certificates_(options.certificates.empty() ? directory_ / "certificates" : options.certificates),
      docroot_(options.site.empty() ? directory_ / "docroot" : options.site) {
    fs::create_directories(docroot_);
    fs::create_directories(directory_ / "temp");
    const fs::path conf = directory_ / "nginx.conf";
    const fs::path pidFile = directory_ / "nginx.pid";
    // Another process may take a free port before nginx binds it; then nginx exits and a new
    // port is tried. A fixed port is tried once.
    for (int attempt = 0; attempt < (options.port == 0 ? 5 : 1); ++attempt) {
        port_ = options.port != 0 ? options.port : freeLoopbackPort();
        writeFile(conf, configuration(directory_.path(), docroot_, certificates_, port_, options));
        process_ = std::make_unique<ChildProcess>(std::vector<std::string>{
            "nginx", "-p", directory_.path().string() + "/", "-c", conf.string(), "-e",
            (directory_ / "error.log").string(), "-g", "daemon off;"});
        // nginx writes its pid file once it listens, and exits when it cannot bind; probing the
        // port instead could meet another process that holds it.
        if (eventually([&] { return fs::exists(pidFile) || process_->exited(); }) && !process_->exited()) {
            return;
        }
    }
    throw std::runtime_error("nginx did not start:\n" + readFile(directory_ / "error.log"));
}

std::vector<std::string> NginxServer::requests() const {
    std::vector<std::string> targets;
    std::istringstream lines(readFile(directory_ / "access.log"));
    for (std::string line; std::getline(lines, line);) {
        targets.push_back(line);
    }
    return targets;
}

std::vector<std::string> NginxServer::waitForRequests(std::size_t count) const {
    std::vector<std::string> targets;
    if (!eventually([&] { return (targets = requests()).size() >= count; })) {
        throw std::runtime_error("nginx logged " + std::to_string(targets.size()) + " requests, expected " +
                                 std::to_string(count));
    }
    return targets;
}

} // namespace korvel::testing
