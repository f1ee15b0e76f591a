// Throughput and memory of BoundedDownload beside the curl command-line tool, both fetching the
// same file from nginx over TLS on loopback in the same run.
//
// Usage: korvel-download-bench [SIZE_MIB [RUNS [OUTPUT_DIR]]]   (defaults: 1024, 3, a temporary directory)
//
// BoundedDownload's time includes its final fsync; curl's does not, and a third column adds the
// fsync of curl's file for a like-for-like comparison.
// Prints each run, the medians, the ratio BoundedDownload / curl and the peak resident set of
// this process (getrusage), which holds every BoundedDownload run; curl runs in child processes.
// Targets: ratio >= 0.95, peak RSS independent of the size (< 16 MiB).

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include "bench/common/measure.h"
#include "policy/bootstrap_policy.h"
#include "tests/servers/nginx_server.h"
#include "tests/support/temp_dir.h"
#include "transport/bounded_download.h"

namespace {

namespace fs = std::filesystem;

void writeServedFile(const fs::path& path, std::int64_t bytes) {
    fs::create_directories(path.parent_path());
    std::vector<char> block(1 << 20);
    std::mt19937_64 random(42);
    for (char& c : block) {
        c = static_cast<char>(random());
    }
    std::FILE* file = std::fopen(path.c_str(), "wb");
    for (std::int64_t left = bytes; left > 0; left -= static_cast<std::int64_t>(block.size())) {
        std::fwrite(block.data(), 1, static_cast<std::size_t>(std::min<std::int64_t>(left, block.size())), file);
    }
    std::fclose(file);
}

using korvel::bench::median;
using korvel::bench::pin;

double peakRssMiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB on Linux
}

// User plus system CPU time consumed so far by this process or by its waited-for children.
double cpuSeconds(int who) {
    rusage usage{};
    ::getrusage(who, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

} // namespace

int main(int argc, char** argv) {
    const std::int64_t sizeMiB = argc > 1 ? std::stoll(argv[1]) : 1024;
    const int runs = argc > 2 ? std::stoi(argv[2]) : 3;
    const std::int64_t bytes = sizeMiB << 20;

    korvel::test::TempDir scratch;
    const fs::path output = argc > 3 ? fs::path(argv[3]) : scratch.path();
    korvel::test::NginxServer server;
    writeServedFile(server.docroot() / "online-beta/bench.bin", bytes);
    const std::string url = korvel::BootstrapPolicy::downloadBase + "bench.bin";
    const korvel::TransportOptions options = server.transportOptions();

    const bool pinned = ::sysconf(_SC_NPROCESSORS_ONLN) >= 2;
    if (pinned) {
        pin(0, 0);  // this process and the curl children it starts
        pin(server.pid(), 1);
    }
    std::printf("file %lld MiB over TLS from nginx on 127.0.0.1:%d, %d runs, output in %s, %s\n",
                static_cast<long long>(sizeMiB), server.port(), runs, output.c_str(),
                pinned ? "client on cpu 0, server on cpu 1" : "not pinned");
    std::printf("peak RSS before any download: %.1f MiB\n", peakRssMiB());

    const fs::path target = output / "korvel-bench-download.bin";
    std::vector<double> korvelRates;
    std::vector<double> curlRates;
    std::vector<double> flushedCurlRates;
    std::vector<double> korvelCpu;
    std::vector<double> curlCpu;
    const double megabytes = static_cast<double>(bytes) / 1e6;
    for (int run = 0; run < runs; ++run) {
        fs::remove(target);
        const double korvelCpuBefore = cpuSeconds(RUSAGE_SELF);
        const double korvelSeconds = korvel::bench::secondsOf([&] {
            korvel::BoundedDownload download(target, bytes, [](std::int64_t) {}, options);
            download.fetch(url);
        });
        if (static_cast<std::int64_t>(fs::file_size(target)) != bytes) {
            std::fprintf(stderr, "BoundedDownload stored %ju bytes\n", static_cast<std::uintmax_t>(fs::file_size(target)));
            return 1;
        }
        korvelCpu.push_back(cpuSeconds(RUSAGE_SELF) - korvelCpuBefore);
        fs::remove(target);
        // Throws, ending the bench, when curl fails.
        const korvel::bench::ProcessFigures curl = korvel::bench::measureProcess(
            {"curl", "-sS", "-o", target.string(), "--cacert", server.caFile().string(), "--connect-to",
             korvel::BootstrapPolicy::downloadHost + ":443:127.0.0.1:" + std::to_string(server.port()), url});
        const double curlSeconds = curl.seconds;
        curlCpu.push_back(curl.cpuSeconds);
        // BoundedDownload ends with its file on stable storage; curl does not. For comparison,
        // the time curl's output then takes to reach the disk.
        const double flushSeconds = korvel::bench::secondsOf([&] {
            const int fd = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
            ::fsync(fd);
            ::close(fd);
        });
        fs::remove(target);
        korvelRates.push_back(megabytes / korvelSeconds);
        curlRates.push_back(megabytes / curlSeconds);
        flushedCurlRates.push_back(megabytes / (curlSeconds + flushSeconds));
        std::printf("run %d: BoundedDownload %7.1f MB/s (cpu %.2f s)   curl %7.1f MB/s (cpu %.2f s)   "
                    "curl + fsync %7.1f MB/s\n",
                    run + 1, korvelRates.back(), korvelCpu.back(), curlRates.back(), curlCpu.back(),
                    flushedCurlRates.back());
    }
    const double korvelMedian = median(korvelRates);
    const double curlMedian = median(curlRates);
    const double flushedCurlMedian = median(flushedCurlRates);
    std::printf("median: BoundedDownload %.1f MB/s, curl %.1f MB/s, ratio %.3f (target >= 0.95)\n", korvelMedian,
                curlMedian, korvelMedian / curlMedian);
    std::printf("median: curl + fsync %.1f MB/s, ratio BoundedDownload / (curl + fsync) %.3f\n", flushedCurlMedian,
                korvelMedian / flushedCurlMedian);
    std::printf("median client CPU time: BoundedDownload %.2f s, curl %.2f s\n", median(korvelCpu), median(curlCpu));
    std::printf("peak RSS of this process after the BoundedDownload runs: %.1f MiB (target < 16 MiB)\n",
                peakRssMiB());
    return 0;
}
