#include "tests/servers/scripted_server.h"

#include <sstream>

#include <nlohmann/json.hpp>

namespace korvel::testing {

namespace {

std::vector<nlohmann::json> logRecords(const std::filesystem::path& log, const std::string& event) {
    std::vector<nlohmann::json> records;
    std::istringstream lines(readFile(log));
    for (std::string line; std::getline(lines, line);) {
        if (nlohmann::json record = nlohmann::json::parse(line); record.at("event") == event) {
            records.push_back(std::move(record));
        }
    }
    return records;
}

} // namespace

ScriptedServer::ScriptedServer() : certificates_(directory_ / "certificates") {
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"python3", KORVEL_SCRIPTED_SERVER, certificates_.certificateFile().string(),
                                 certificates_.keyFile().string(), (directory_ / "requests.log").string()},
        true);
    // The script prints its port once it listens: from then on connections queue up, and no
    // probe connection spoils the log.
    port_ = std::stoi(process_->readLine());
}

std::size_t ScriptedServer::connections() const {
    return logRecords(directory_ / "requests.log", "connection").size();
}

std::vector<ScriptedRequest> ScriptedServer::requests() const {
    std::vector<ScriptedRequest> requests;
    for (const nlohmann::json& record : logRecords(directory_ / "requests.log", "request")) {
        requests.push_back({record.at("method"), record.at("target"),
                            record.at("headers").get<std::vector<std::pair<std::string, std::string>>>()});
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
