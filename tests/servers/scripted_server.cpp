#include "tests/servers/scripted_server.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include <nlohmann/json.hpp>
#include <strings.h>


namespace korvel::testing {

namespace {

std::vector<nlohmann::json> logRecords(const std::filesystem::path& log) {
    std::vector<nlohmann::json> records;
    std::ifstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        records.push_back(nlohmann::json::parse(line));
    }
    return records;
}

} // namespace

std::optional<std::string> ScriptedRequest::header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (key.size() == name.size() && ::strcasecmp(key.c_str(), name.c_str()) == 0) {
            return value;
        }
    }
    return std::nullopt;
}

ScriptedServer::ScriptedServer() : certificates_(directory_ / "certificates") {
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"python3", KORVEL_SCRIPTED_SERVER, certificates_.certificateFile().string(),
                                 certificates_.keyFile().string(), (directory_ / "requests.log").string()},
        true);
    // The script prints its port once it listens: from then on connections queue up, and no
    // probe connection spoils the log.
    port_ = std::stoi(process_->readLine());
}

ScriptedServer::~ScriptedServer() = default;

TransportOptions ScriptedServer::transportOptions(const std::vector<std::string>& extraHosts) const {
    const std::string address = "127.0.0.1:" + std::to_string(port_);
    TransportOptions options{caFile(), {{KORVEL_WEB_HOST, address}, {KORVEL_DOWNLOAD_HOST, address}}};
    for (const std::string& host : extraHosts) {
        options.connectTo[host] = address;
    }
    return options;
}

std::size_t ScriptedServer::connections() const {
    const auto records = logRecords(directory_ / "requests.log");
    return static_cast<std::size_t>(std::count_if(records.begin(), records.end(), [](const nlohmann::json& record) {
        return record.at("event") == "connection";
    }));
}

std::vector<ScriptedRequest> ScriptedServer::requests() const {
    std::vector<ScriptedRequest> requests;
    for (const nlohmann::json& record : logRecords(directory_ / "requests.log")) {
        if (record.at("event") == "request") {
            requests.push_back({record.at("method"), record.at("target"),
                                record.at("headers").get<std::vector<std::pair<std::string, std::string>>>()});
        }
    }
    return requests;
}

std::string scriptedBody(std::size_t size) {
    std::string body(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        body[i] = static_cast<char>(i % 251);
    }
    return body;
}

} // namespace korvel::testing
