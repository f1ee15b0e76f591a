#include "tests/servers/test_certificates.h"

#include <string>

#include "tests/servers/child_process.h"
#include "tests/support/temp_dir.h"

namespace korvel::testing {

TestCertificates::TestCertificates(const std::filesystem::path& directory)
    : caFile_(directory / "ca.pem"), certificateFile_(directory / "server.pem"), keyFile_(directory / "server.key") {
    std::filesystem::create_directories(directory);
    const std::string log = (directory / "openssl.log").string();
    const std::string caKey = (directory / "ca.key").string();
    const std::string request = (directory / "server.csr").string();
    const std::string extensions = (directory / "server.ext").string();
    writeFile(extensions,
              "basicConstraints = critical, CA:FALSE\n"
              "keyUsage = critical, digitalSignature\n"
              "extendedKeyUsage = serverAuth\n"
              "subjectAltName = DNS:" KORVEL_WEB_HOST ", DNS:" KORVEL_DOWNLOAD_HOST
              ", DNS:localhost, IP:127.0.0.1\n");
    const std::vector<std::string> ecKey = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};

    std::vector<std::string> makeCa = {"openssl", "req", "-x509", "-days", "2", "-subj", "/CN=Korvel Test CA",
                                       "-addext", "basicConstraints=critical,CA:TRUE",
                                       "-addext", "keyUsage=critical,keyCertSign,cRLSign",
                                       "-keyout", caKey, "-out", caFile_.string()};
    makeCa.insert(makeCa.begin() + 3, ecKey.begin(), ecKey.end());
    runToSuccess(makeCa, log);

    std::vector<std::string> makeRequest = {"openssl", "req", "-new", "-subj", "/CN=korvel-test-server",
                                            "-keyout", keyFile_.string(), "-out", request};
    makeRequest.insert(makeRequest.begin() + 3, ecKey.begin(), ecKey.end());
    runToSuccess(makeRequest, log);

    runToSuccess({"openssl", "x509", "-req", "-days", "2", "-in", request, "-CA", caFile_.string(), "-CAkey", caKey,
                  "-CAcreateserial", "-extfile", extensions, "-out", certificateFile_.string()},
                 log);
}

} // namespace korvel::testing
