#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "transport/bounded_download.h"

namespace korvel::testing {

// A throwaway certificate authority and one server certificate it signed, valid for both
// approved hosts, "localhost" and 127.0.0.1, made with the openssl tool into directory
// (ca.pem, server.pem, server.key). Nothing is installed anywhere: clients trust the CA only
// by naming caFile() (TransportOptions::caFile, curl --cacert).
class TestCertificates {
public:
    explicit TestCertificates(const std::filesystem::path& directory);

    const std::filesystem::path& caFile() const { return caFile_; }
    const std::filesystem::path& certificateFile() const { return certificateFile_; }
    const std::filesystem::path& keyFile() const { return keyFile_; }

private:
    std::filesystem::path caFile_;
    std::filesystem::path certificateFile_;
    std::filesystem::path keyFile_;
};

// Both approved hosts, and any extra host names, lead to 127.0.0.1:port, and caFile is trusted.
// Mapping a host the client should refuse makes a faulty client reach a test server (and its
// log) instead of the network.
TransportOptions loopbackTransport(int port, const std::filesystem::path& caFile,
                                   const std::vector<std::string>& extraHosts = {});

} // namespace korvel::testing
