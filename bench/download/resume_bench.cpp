// Finishing an interrupted download against downloading afresh, both from nginx over TLS on
// loopback through the same rate limit (limit_rate), in the same run: a resumable
// BoundedDownload is stopped once half the file has arrived, then fetched again; beside it, the
// whole file is fetched into a fresh destination. Prints the time and the body bytes nginx sent
// for each (from its log).
//
// Usage: korvel-resume-bench [SIZE_MIB [MIB_PER_SECOND]]   (defaults: 256, 32)
#include <chrono>
#include <functional>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "bench/common/measure.h"
#include "policy/bootstrap_policy.h"
#include "tests/servers/nginx_server.h"
#include "tests/support/temp_dir.h"
#include "transport/bounded_download.h"

namespace {

namespace fs = std::filesystem;

struct Stopped : std::runtime_error {
    Stopped() : std::runtime_error("stopped half way") {}
};

} // namespace

int main(int argc, char** argv) {
    const long long size = (argc > 1 ? std::stoll(argv[1]) : 256) << 20;
    const int rate = (argc > 2 ? std::stoi(argv[2]) : 32) << 20;
    korvel::test::TempDir scratch;
    korvel::test::NginxServer server({.site = {}, .port = 0, .bytesPerSecond = rate});
    fs::create_directories(server.docroot() / "online-beta");
    std::ofstream(server.docroot() / "online-beta/pack.bin", std::ios::binary) << std::string(size, 'p');
    const std::string url = korvel::BootstrapPolicy::downloadBase + "pack.bin";
    korvel::TransportOptions options = server.transportOptions();
    options.resume = true;

    const fs::path fresh = scratch / "fresh.bin";
    const double freshSeconds = korvel::bench::secondsOf([&] {
        korvel::BoundedDownload(fresh, size, [](std::int64_t) {}, options).fetch(url);
    });
    const long long freshBytes = server.bytesSent();

    const fs::path resumed = scratch / "resumed.bin";
    try {
        korvel::BoundedDownload(resumed, size, [&](std::int64_t received) {
            if (received >= size / 2) {
                throw Stopped();
            }
        }, options).fetch(url);
    } catch (const Stopped&) {
    }
    const long long kept = static_cast<long long>(fs::file_size(resumed));
    const long long beforeResume = server.bytesSent();
    const double resumeSeconds = korvel::bench::secondsOf([&] {
        korvel::BoundedDownload(resumed, size, [](std::int64_t) {}, options).fetch(url);
    });
    const long long resumeBytes = server.bytesSent() - beforeResume;
    if (fs::file_size(resumed) != static_cast<std::uintmax_t>(size)) {
        std::fprintf(stderr, "the resumed file is incomplete\n");
        return 1;
    }
    std::printf("%lld MiB at %d MiB/s from nginx over TLS on loopback\n", size >> 20, rate >> 20);
    std::printf("fresh download:        %7.2f s, %lld bytes sent\n", freshSeconds, freshBytes);
    std::printf("resumed from %lld MiB: %7.2f s, %lld bytes sent (ratio %.2f of the time)\n", kept >> 20,
                resumeSeconds, resumeBytes, resumeSeconds / freshSeconds);
    return 0;
}
