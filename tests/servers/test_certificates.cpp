#include "tests/servers/test_certificates.h"

#include "tests/servers/child_process.h"
#include "tests/support/temp_dir.h"

namespace korvel::testing {

TestCertificates::TestCertificates(const std::filesystem::path& directory)
    : caFile_(directory / "ca.pem"), certificateFile_(directory / "server.pem"), keyFile_(directory / "server.key") {
    std::filesystem::create_directories(directory);
    const std::string caKey = (directory / "ca.key").string();
    const std::string request = (directory / "server.csr").string();
    const std::string extensions = (directory / "server.ext").string();
    writeFile(extensions,
              "basicConstraints = critical, CA:FALSE\n"
              "keyUsage = critical, digitalSignature\n"
              "extendedKeyUsage = serverAuth\n"
              "subjectAltName = DNS:" KORVEL_WEB_HOST ", DNS:" KORVEL_DOWNLOAD_HOST
              ", DNS:localhost, IP:127.0.0.1\n");
    const auto newEcKey = [](std::vector<std::string> command) {
        const std::vector<std::string> ecKey = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
        command.insert(command.begin() + 2, ecKey.begin(), ecKey.end());
        return command;
    };
    runToSuccess(newEcKey({"openssl", "req", "-x509", "-days", "2", "-subj", "/CN=Korvel Test CA", "-addext",
                           "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign",
                           "-keyout", caKey, "-out", caFile_.string()}));
    runToSuccess(newEcKey({"openssl", "req", "-new", "-subj", "/CN=korvel-test-server", "-keyout",
                           keyFile_.string(), "-out", request}));
    runToSuccess({"openssl", "x509", "-req", "-days", "2", "-in", request, "-CA", caFile_.string(), "-CAkey", caKey,
                  "-CAcreateserial", "-extfile", extensions, "-out", certificateFile_.string()});
}

TransportOptions loopbackTransport(int port, const std::filesystem::path& caFile,
                                   const std::vector<std::string>& extraHosts) {
    const std::string address = "127.0.0.1:" + std::to_string(port);
    TransportOptions options{caFile, {{KORVEL_WEB_HOST, address}, {KORVEL_DOWNLOAD_HOST, address}}};
    for (const std::string& host : extraHosts) {
        options.connectTo[host] = address;
    }
    return options;
}

} // namespace korvel::testing
