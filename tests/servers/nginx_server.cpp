#include "tests/servers/nginx_server.h"

#include <sstream>
#include <stdexcept>
#include <system_error>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "base/unique_fd.h"
#include "tests/support/eventually.h"

namespace korvel::test {

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

} // namespace

NginxServer::NginxServer(NginxOptions options)
    : docroot_(options.site.empty() ? directory / "docroot" : options.site) {
    fs::create_directories(docroot_);
    const fs::path conf = directory / "nginx.conf";
    // Another process may take a free port before nginx binds it; nginx then exits and a new port
    // is tried. nginx writes its pid file once it listens.
    for (int attempt = 0; attempt < (options.port == 0 ? 5 : 1); ++attempt) {
        port_ = options.port != 0 ? options.port : freeLoopbackPort();
        std::ostringstream text;
        text << "master_process off; pid nginx.pid; error_log error.log warn; events {}\n"
             << "http {\n  log_format targets '$request_uri'; access_log access.log targets;\n"
             << "  log_format responses '$status $body_bytes_sent $http_range $request_uri';\n"
             << "  access_log responses.log responses; limit_rate " << options.bytesPerSecond << ";\n"
             << "  client_body_temp_path temp; proxy_temp_path temp; fastcgi_temp_path temp;\n"
             << "  uwsgi_temp_path temp; scgi_temp_path temp;\n  server {\n    listen 127.0.0.1:" << port_ << " ssl;\n"
             << "    ssl_certificate " KORVEL_TEST_CERTIFICATES "/server.pem;\n"
             << "    ssl_certificate_key " KORVEL_TEST_CERTIFICATES "/server.key;\n"
             << "    root \"" << docroot_.string() << (options.site.empty() ? "" : "/$host") << "\";\n  }\n}\n";
        writeFile(conf, text.str());
        process = std::make_unique<ChildProcess>(std::vector<std::string>{
            "nginx", "-p", directory.path().string() + "/", "-c", conf, "-e", "error.log", "-g", "daemon off;"});
        if (eventually([&] { return fs::exists(directory / "nginx.pid") || process->exited(); }) &&
            !process->exited()) {
            return;
        }
    }
    throw std::runtime_error("nginx did not start:\n" + readFile(directory / "error.log"));
}

std::vector<std::string> NginxServer::waitForRequests(std::size_t count) const {
    std::vector<std::string> targets;
    eventually([&] {
        std::istringstream lines(fs::exists(directory / "access.log") ? readFile(directory / "access.log") : "");
        targets.clear();
        for (std::string line; std::getline(lines, line);) {
            targets.push_back(line);
        }
        return targets.size() >= count;
    });
    return targets;
}

std::string NginxServer::responses() const {
    return fs::exists(directory / "responses.log") ? readFile(directory / "responses.log") : "";
}

long long NginxServer::bytesSent() const {
    std::istringstream lines(responses());
    long long total = 0;
    for (std::string status, bytes, range, target; lines >> status >> bytes >> range >> target;) {
        total += std::stoll(bytes);
    }
    return total;
}

} // namespace korvel::test
