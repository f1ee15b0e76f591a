#include "tests/servers/nginx_server.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace korvel::testing {

namespace fs = std::filesystem;

namespace {

constexpr auto startDeadline = std::chrono::seconds(60);
constexpr auto pollInterval = std::chrono::milliseconds(10);
constexpr int startAttempts = 5;

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

bool accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "socket");
    }
    const sockaddr_in address = loopback(port);
    const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

std::string quoted(const std::string& text) {
    std::string result = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            result.push_back('\\');
        }
        result.push_back(c);
    }
    return result + "\"";
}

std::string configuration(const fs::path& root, const fs::path& docroot, const TestCertificates& certificates,
                          int port, const std::vector<NginxReturn>& returns) {
    std::ostringstream conf;
    conf << "master_process off;\n"
         << "pid " << quoted((root / "nginx.pid").string()) << ";\n"
         << "error_log " << quoted((root / "error.log").string()) << " warn;\n"
         << "events { worker_connections 64; }\n"
         << "http {\n"
         << "  log_format korvel '$request_method $request_uri $status $host';\n"
         << "  access_log " << quoted((root / "access.log").string()) << " korvel;\n";
    for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
        conf << "  " << temp << "_temp_path " << quoted((root / "temp" / temp).string()) << ";\n";
    }
    conf << "  default_type application/octet-stream;\n"
         << "  server {\n"
         << "    listen 127.0.0.1:" << port << " ssl;\n"
         << "    server_name _;\n"
         << "    ssl_certificate " << quoted(certificates.certificateFile().string()) << ";\n"
         << "    ssl_certificate_key " << quoted(certificates.keyFile().string()) << ";\n"
         << "    root " << quoted(docroot.string()) << ";\n";
    for (const NginxReturn& entry : returns) {
        conf << "    location = " << quoted(entry.path) << " { return " << entry.status;
        if (!entry.argument.empty()) {
            conf << " " << quoted(entry.argument);
        }
        conf << "; }\n";
    }
    conf << "  }\n}\n";
    return conf.str();
}

} // namespace

int freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "socket");
    }
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const int error = errno;
        ::close(fd);
        throw std::system_error(error, std::generic_category(), "bind 127.0.0.1:0");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

void waitUntilAccepting(int port, ChildProcess& process, const std::string& name) {
    const auto deadline = std::chrono::steady_clock::now() + startDeadline;
    while (!accepts(port)) {
        if (process.exited()) {
            throw std::runtime_error(name + " exited before accepting connections on port " + std::to_string(port));
        }
        if (std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error(name + " did not accept connections on port " + std::to_string(port));
        }
        std::this_thread::sleep_for(pollInterval);
    }
}

NginxServer::NginxServer(std::vector<NginxReturn> returns)
    : certificates_(directory_ / "certificates"), docroot_(directory_ / "docroot") {
    fs::create_directories(docroot_);
    fs::create_directories(directory_ / "temp");
    // Another process may take the free port before nginx binds it; then nginx exits and a
    // new port is tried.
    for (int attempt = 0; attempt < startAttempts; ++attempt) {
        if (start(returns)) {
            return;
        }
    }
    throw std::runtime_error("nginx did not start:\n" + readFile(directory_ / "error.log"));
}

bool NginxServer::start(const std::vector<NginxReturn>& returns) {
    port_ = freeLoopbackPort();
    const fs::path conf = directory_ / "nginx.conf";
    writeFile(conf, configuration(directory_.path(), docroot_, certificates_, port_, returns));
    process_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        "nginx", "-p", directory_.path().string() + "/", "-c", conf.string(), "-e",
        (directory_ / "error.log").string(), "-g", "daemon off;"});
    try {
        waitUntilAccepting(port_, *process_, "nginx");
        return true;
    } catch (const std::runtime_error&) {
        if (!process_->exited()) {
            throw;
        }
        process_.reset();
        return false;
    }
}

NginxServer::~NginxServer() = default;

TransportOptions NginxServer::transportOptions() const {
    const std::string address = "127.0.0.1:" + std::to_string(port_);
    return TransportOptions{caFile(), {{KORVEL_WEB_HOST, address}, {KORVEL_DOWNLOAD_HOST, address}}};
}

std::vector<AccessLogEntry> NginxServer::accessLog() const {
    std::vector<AccessLogEntry> entries;
    std::ifstream log(directory_ / "access.log");
    std::string line;
    while (std::getline(log, line)) {
        std::istringstream fields(line);
        AccessLogEntry entry;
        fields >> entry.method >> entry.target >> entry.status >> entry.host;
        entries.push_back(entry);
    }
    return entries;
}

std::vector<AccessLogEntry> NginxServer::waitForAccessLog(std::size_t entries) const {
    const auto deadline = std::chrono::steady_clock::now() + startDeadline;
    for (;;) {
        std::vector<AccessLogEntry> log = accessLog();
        if (log.size() >= entries) {
            return log;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error("nginx logged " + std::to_string(log.size()) + " requests, expected " +
                                     std::to_string(entries));
        }
        std::this_thread::sleep_for(pollInterval);
    }
}

} // namespace korvel::testing
