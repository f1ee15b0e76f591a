// Verification and first installation of a synthetic release, each beside the command-line
// tools doing the same work on the same files in the same run:
//
//   (a) verify:  OnlineInstaller::prepare() whose download fails, so that it falls back to the
//                selected release and verifies it in full, beside `openssl dgst -sha256` over
//                the same twelve files one after another;
//   (b) install: a first prepare() into an empty root, its download operation a BoundedDownload
//                from nginx over TLS on loopback, beside `curl` fetching the manifest and the
//                twelve files (one connection) plus one `openssl dgst -sha256` pass over them;
//   (c) the peak resident set of every process measured (wait4).
//
// Beside them, to show where the time goes: fileDigest over the files on one thread (the
// per-core speed the verification builds on), the installation's two phases (until its last
// download returned, and after), the same BoundedDownloads without any digest, and curl plus
// `sync --data` of its files plus openssl (the durability that BoundedDownload's fsync buys
// and curl does not).
//
// The signature check is a stub that accepts every bundle, so the figures are those of
// transfer, hashing and the file system only. Every measured process is a child started
// fresh: the installer runs in a program of its own (korvel-bench-install, -verify, -fetch and
// -digest, built beside this one), so its peak RSS is its own. nginx is pinned to the last core and the single-threaded tools
// to core 0; the installer is not pinned, because using every core is part of what it does.
// Figures are medians of the runs; the runs of each side alternate.
//
// Usage: korvel-install-bench [--size MIB] [--shape pack|balanced|both] [--runs N] [--dir DIR] [--rate MIB]
//   --size   total size of the release (default 1024)
//   --shape  pack: one pack file of 7/8 of the size and eleven files sharing the rest;
//            balanced: twelve files of equal size (default both, one after the other)
//   --runs   runs of each measurement (default 5)
//   --rate   nginx sends each response at most this many MiB per second, a link slower than the
//            disk (default: no limit, loopback)
//   --dir    where the served files, install roots and downloads go (default: a fresh
//            temporary directory, removed at the end)

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "bench/common/measure.h"
#include "installer/online_installer.h"
#include "policy/bootstrap_policy.h"
#include "tests/servers/nginx_server.h"
#include "tests/support/temp_dir.h"
#include "transport/bounded_download.h"

namespace {

namespace fs = std::filesystem;
using korvel::BootstrapPolicy;
using korvel::bench::besideThisProgram;
using korvel::bench::measureProcess;
using korvel::bench::median;
using korvel::bench::ProcessFigures;

constexpr std::int64_t mebibyte = 1 << 20;

// Data that earlier steps left dirty must not be written back inside a measured one.
void settle() { ::sync(); }

double loadAverage() {
    double load = 0;
    return ::getloadavg(&load, 1) == 1 ? load : -1;
}

// ---------------------------------------------------------------------------------------------
// The synthetic release.

// A function, not a constant: the policy's strings are built during static initialisation.
std::string packPath() { return BootstrapPolicy::app + "/Contents/Resources/Korvel_Online.pck"; }

// Sizes of the twelve files: "pack" gives the pack file 7/8 of the total and the eleven others
// equal shares of the rest; "balanced" gives all twelve equal shares.
std::map<std::string, std::int64_t> fileSizes(const std::string& shape, std::int64_t total) {
    std::map<std::string, std::int64_t> sizes;
    const std::int64_t pack = shape == "pack" ? total / 8 * 7 : total / 12;
    const std::int64_t others = static_cast<std::int64_t>(BootstrapPolicy::paths.size()) - 1;
    std::int64_t left = total - pack;
    for (const std::string& path : BootstrapPolicy::paths) {
        if (path != packPath()) {
            sizes[path] = left / others;
        }
    }
    sizes[packPath()] = pack + left % others;
    return sizes;
}

// Pseudo-random content (splitmix64), different for every file and every MiB of it.
void writeSyntheticFile(const fs::path& path, std::int64_t bytes, std::uint64_t seed) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<std::uint64_t> block(mebibyte / sizeof(std::uint64_t));
    std::uint64_t state = seed * 0x9E3779B97F4A7C15ull;
    for (std::int64_t left = bytes; left > 0; left -= mebibyte) {
        for (std::uint64_t& word : block) {
            std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            word = z ^ (z >> 31);
        }
        out.write(reinterpret_cast<const char*>(block.data()), std::min(left, mebibyte));
    }
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

struct PublishedRelease {
    std::string name;
    std::vector<std::string> urls;            // the manifest's first, then the files in manifest order
    std::vector<std::string> paths;           // the files in manifest order
    std::map<std::string, std::int64_t> sizes;
};

// Writes the release into nginx's document root where the policy's addresses point, and the
// manifest describing it. A later version has the same pack and other contents in every other
// file, as an update that changed only small files.
PublishedRelease publish(const fs::path& docroot, const std::string& shape, std::int64_t total, int version = 1) {
    PublishedRelease release{"bench-" + shape + "-" + std::to_string(total / mebibyte) + "-v" + std::to_string(version),
                             {}, {}, fileSizes(shape, total)};
    const fs::path served = docroot / "online-beta" / release.name / "mac";
    std::vector<korvel::ReleaseFile> files;
    std::uint64_t seed = 1;
    release.urls.push_back(BootstrapPolicy::manifestURL);
    for (const std::string& path : BootstrapPolicy::paths) {
        const std::int64_t bytes = release.sizes.at(path);
        writeSyntheticFile(served / path, bytes, path == packPath() ? seed++ : 100 * version + seed++);
        const std::string url = BootstrapPolicy::downloadBase + release.name + "/mac/" + path;
        files.push_back({path, url, bytes, korvel::fileDigest(served / path), BootstrapPolicy::executables.contains(path)});
        release.urls.push_back(url);
        release.paths.push_back(path);
    }
    const korvel::ReleaseManifest manifest{1, release.name, {{"mac", {BootstrapPolicy::entrypoint, files}}}};
    std::ofstream(docroot / "online-beta/manifest.json") << korvel::encodeJson(manifest);
    return release;
}

// ---------------------------------------------------------------------------------------------
// Measurements.

// User and system time that a process has used so far, from /proc.
double processCpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    for (int i = 1; i <= 13 && stat >> field; ++i) {
    }
    double user = 0;
    double system = 0;
    stat >> user >> system;
    return (user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The runs of one measured step: one or more processes run one after another.
struct Row {
    std::vector<double> seconds;
    std::vector<double> cpuSeconds;
    std::vector<double> serverCpuSeconds;
    double peakRssMiB = 0;

    double median() const { return korvel::bench::median(seconds); }
};

struct Bench {
    korvel::test::NginxServer& server;
    fs::path work;
    int runs;
    std::optional<int> toolCpu;

    std::string address() const { return "127.0.0.1:" + std::to_string(server.port()); }

    // Runs the processes of one step one after another and adds their sum to row.
    template <class... Steps>
    ProcessFigures measureStep(Row& row, Steps&&... steps) const {
        settle();
        const double serverBefore = processCpuSeconds(server.pid());
        ProcessFigures sum;
        for (const ProcessFigures& figures : {steps()...}) {
            sum.seconds += figures.seconds;
            sum.cpuSeconds += figures.cpuSeconds;
            sum.peakRssMiB = std::max(sum.peakRssMiB, figures.peakRssMiB);
        }
        row.seconds.push_back(sum.seconds);
        row.cpuSeconds.push_back(sum.cpuSeconds);
        row.serverCpuSeconds.push_back(processCpuSeconds(server.pid()) - serverBefore);
        row.peakRssMiB = std::max(row.peakRssMiB, sum.peakRssMiB);
        return sum;
    }

    // A command followed by the release's files under dir, in manifest order.
    static std::vector<std::string> overFiles(std::vector<std::string> argv, const fs::path& dir,
                                              const PublishedRelease& release) {
        for (const std::string& path : release.paths) {
            argv.push_back((dir / path).string());
        }
        return argv;
    }

    ProcessFigures openssl(const fs::path& dir, const PublishedRelease& release) const {
        return measureProcess(overFiles({"openssl", "dgst", "-sha256"}, dir, release), toolCpu);
    }

    ProcessFigures curl(const fs::path& dir, const PublishedRelease& release) const {
        std::vector<std::string> argv{"curl", "-sS", "--fail", "--create-dirs", "--cacert", server.caFile().string()};
        for (const std::string& host : {BootstrapPolicy::webHost, BootstrapPolicy::downloadHost}) {
            argv.insert(argv.end(), {"--connect-to", host + ":443:" + address()});
        }
        argv.insert(argv.end(), {"-o", (dir / "manifest.json").string(), release.urls.front()});
        for (std::size_t i = 0; i < release.paths.size(); ++i) {
            argv.insert(argv.end(), {"-o", (dir / release.paths[i]).string(), release.urls[i + 1]});
        }
        return measureProcess(argv, toolCpu);
    }

    ProcessFigures boundedDownloads(const fs::path& dir, const PublishedRelease& release) const {
        std::vector<std::string> argv{besideThisProgram("korvel-bench-fetch").string(), server.caFile().string(), address(),
                                      dir.string(), release.urls.front(), "manifest.json"};
        for (std::size_t i = 0; i < release.paths.size(); ++i) {
            argv.insert(argv.end(), {release.urls[i + 1], release.paths[i]});
        }
        return measureProcess(argv);
    }

    // One installation; phases receives its transfer phase and what follows it, in seconds.
    // Options on: as the launcher installs, taking unchanged files from installed releases.
    ProcessFigures install(const fs::path& root, std::pair<double, double>* phases = nullptr,
                           bool options = false) const {
        const fs::path report = work / "install-phases.txt";
        std::vector<std::string> argv{besideThisProgram("korvel-bench-install").string(), root.string(),
                                      server.caFile().string(), address()};
        if (options) {
            argv.push_back("--options");
        }
        const ProcessFigures figures = measureProcess(argv, std::nullopt, report);
        if (phases != nullptr) {
            std::ifstream(report) >> phases->first >> phases->second;
        }
        return figures;
    }

    void measure(const std::string& shape, std::int64_t total) const {
        const PublishedRelease release = publish(server.docroot(), shape, total);
        const auto bySize = [](const auto& a, const auto& b) { return a.second < b.second; };
        std::printf("\n== %s: %zu files, the largest %.1f MiB, the smallest %.1f MiB\n", release.name.c_str(),
                    release.sizes.size(),
                    static_cast<double>(std::max_element(release.sizes.begin(), release.sizes.end(), bySize)->second) /
                        mebibyte,
                    static_cast<double>(std::min_element(release.sizes.begin(), release.sizes.end(), bySize)->second) /
                        mebibyte);
        const fs::path installedRoot = work / ("installed-" + shape);
        const fs::path installRoot = work / ("install-" + shape);
        const fs::path downloadDir = work / ("download-" + shape);
        fs::remove_all(installedRoot);
        settle();
        install(installedRoot);  // the release that (a) verifies; also warms nginx and the caches
        const fs::path installed = installedRoot / "releases" / release.name;

        Row verifying, opensslInstalled, digestInstalled, installing, fetching, curlAndOpenssl, curlOnly, opensslOnly,
            durableCurlAndOpenssl;
        std::vector<double> transferPhase;
        std::vector<double> afterTransfer;
        const double loadBefore = loadAverage();
        for (int run = 0; run < runs; ++run) {
            measureStep(verifying,
                        [&] { return measureProcess({besideThisProgram("korvel-bench-verify").string(), installedRoot.string()}); });
            measureStep(opensslInstalled, [&] { return openssl(installed, release); });
            measureStep(digestInstalled, [&] {
                return measureProcess(overFiles({besideThisProgram("korvel-bench-digest").string()}, installed, release), toolCpu);
            });

            fs::remove_all(installRoot);
            std::pair<double, double> phases;
            measureStep(installing, [&] { return install(installRoot, &phases); });
            transferPhase.push_back(phases.first);
            afterTransfer.push_back(phases.second);
            fs::remove_all(installRoot);
            measureStep(fetching, [&] { return boundedDownloads(installRoot, release); });
            fs::remove_all(downloadDir);
            ProcessFigures fetched;
            ProcessFigures hashed;
            measureStep(
                curlAndOpenssl, [&] { return fetched = curl(downloadDir, release); },
                [&] { return hashed = openssl(downloadDir, release); });
            curlOnly.seconds.push_back(fetched.seconds);
            opensslOnly.seconds.push_back(hashed.seconds);
            fs::remove_all(downloadDir);
            measureStep(
                durableCurlAndOpenssl, [&] { return curl(downloadDir, release); },
                [&] { return measureProcess(overFiles({"sync", "--data"}, downloadDir, release), toolCpu); },
                [&] { return openssl(downloadDir, release); });
            std::printf("  run %d: verify %.3f s, openssl %.3f s, fileDigest %.3f s | install %.3f s (%.3f + %.3f), "
                        "BoundedDownload only %.3f s, curl %.3f s + openssl %.3f s\n",
                        run + 1, verifying.seconds.back(), opensslInstalled.seconds.back(),
                        digestInstalled.seconds.back(), installing.seconds.back(), phases.first, phases.second,
                        fetching.seconds.back(), fetched.seconds, hashed.seconds);
        }
        const double loadAfter = loadAverage();
        fs::remove_all(installRoot);
        fs::remove_all(downloadDir);

        std::printf("  load average %.2f before, %.2f after\n", loadBefore, loadAfter);
        std::printf("  %-50s %8s %6s %7s %6s %6s %8s\n", "", "median s", "ratio", "target", "cpu s", "nginx",
                    "RSS MiB");
        const auto line = [](const char* label, const Row& row, const Row* reference, const char* target) {
            std::printf("  %-50s %8.3f", label, row.median());
            if (reference != nullptr) {
                std::printf(" %6.3f %7s", row.median() / reference->median(), target);
            } else {
                std::printf(" %6s %7s", "", "");
            }
            if (row.cpuSeconds.empty()) {
                std::printf("\n");
                return;
            }
            std::printf(" %6.2f %6.2f %8.1f\n", median(row.cpuSeconds), median(row.serverCpuSeconds), row.peakRssMiB);
        };
        line("(a) prepare() verifying the installed release", verifying, &opensslInstalled,
             shape == "pack" ? "<= 0.95" : "<= 0.60");
        line("    openssl dgst -sha256, the 12 files in turn", opensslInstalled, nullptr, "");
        line("    fileDigest, the 12 files in turn, one thread", digestInstalled, &opensslInstalled, "");
        line("(b) prepare() installing over TLS from loopback", installing, &curlAndOpenssl, "<= 1.05");
        std::printf("      of which the downloads %28.3f\n", median(transferPhase));
        std::printf("      of which what follows them %24.3f\n", median(afterTransfer));
        line("    BoundedDownload of the 13 files, no digest", fetching, &curlOnly, "");
        line("    curl (13 files, one connection) + openssl", curlAndOpenssl, nullptr, "");
        line("      of which curl", curlOnly, nullptr, "");
        line("      of which openssl", opensslOnly, nullptr, "");
        line("    curl + sync --data of its files + openssl", durableCurlAndOpenssl, nullptr, "");
        std::printf("      (b) against this durable reference %16.3f\n",
                    installing.median() / durableCurlAndOpenssl.median());
        measureUpdate(shape, total, installedRoot);
    }

    // (c) An update from the installed release to the next version, which changed every file but
    // the pack, beside a first installation of that version, in the same run: the time of each
    // and the body bytes nginx sent for it.
    void measureUpdate(const std::string& shape, std::int64_t total, const fs::path& installedRoot) const {
        publish(server.docroot(), shape, total, 2);
        const fs::path updateRoot = work / ("update-" + shape);
        const fs::path fullRoot = work / ("full-" + shape);
        Row updating, installingFully;
        std::vector<double> updateBytes, fullBytes;
        for (int run = 0; run < runs; ++run) {
            fs::remove_all(updateRoot);
            fs::remove_all(fullRoot);
            fs::copy(installedRoot, updateRoot, fs::copy_options::recursive);
            double before = static_cast<double>(server.bytesSent());
            measureStep(updating, [&] { return install(updateRoot, nullptr, true); });
            updateBytes.push_back(static_cast<double>(server.bytesSent()) - before);
            before = static_cast<double>(server.bytesSent());
            measureStep(installingFully, [&] { return install(fullRoot); });
            fullBytes.push_back(static_cast<double>(server.bytesSent()) - before);
        }
        fs::remove_all(updateRoot);
        fs::remove_all(fullRoot);
        std::printf("  (c) update to v2 (only the pack unchanged): %.3f s, %.1f MiB from the server; first installation "
                    "of v2: %.3f s, %.1f MiB; ratio %.3f (target <= 0.50)\n",
                    updating.median(), median(updateBytes) / mebibyte, installingFully.median(),
                    median(fullBytes) / mebibyte, updating.median() / installingFully.median());
    }
};

struct Options {
    std::int64_t sizeMiB = 1024;
    std::vector<std::string> shapes{"pack", "balanced"};
    int runs = 5;
    int rateMiB = 0;
    fs::path dir;
};

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const std::string value = argv[i + 1];
        if (name == "--size") {
            options.sizeMiB = std::stoll(value);
        } else if (name == "--shape" && (value == "pack" || value == "balanced")) {
            options.shapes = {value};
        } else if (name == "--shape" && value == "both") {
        } else if (name == "--runs") {
            options.runs = std::stoi(value);
        } else if (name == "--dir") {
            options.dir = value;
        } else if (name == "--rate") {
            options.rateMiB = std::stoi(value);
        } else {
            throw std::invalid_argument("unknown option " + name + " " + value);
        }
    }
    if (argc % 2 == 0) {
        throw std::invalid_argument(std::string("option without a value: ") + argv[argc - 1]);
    }
    if (options.sizeMiB < 12 || options.sizeMiB * mebibyte > BootstrapPolicy::totalLimit || options.runs < 1) {
        throw std::invalid_argument("the size must lie between 12 MiB and 2048 MiB, the runs at least 1");
    }
    return options;
}

int runBench(const Options& options) {
    korvel::test::TempDir scratch;
    const fs::path work = options.dir.empty() ? scratch.path() : options.dir;
    fs::create_directories(work);
    korvel::test::NginxServer server({.site = {}, .port = 0, .bytesPerSecond = options.rateMiB << 20});
    const long cores = ::sysconf(_SC_NPROCESSORS_ONLN);
    std::optional<int> toolCpu;
    if (cores >= 2) {
        korvel::bench::pin(server.pid(), static_cast<int>(cores - 1));
        toolCpu = 0;
    }
    std::printf("release of %lld MiB from nginx over TLS on 127.0.0.1:%d; %d runs; %ld cores: %s\n",
                static_cast<long long>(options.sizeMiB), server.port(), options.runs, cores,
                toolCpu ? "nginx on the last, curl and openssl on core 0, the installer free" : "nothing pinned");
    std::printf("signature check: a stub that accepts every bundle; work directory %s\n", work.c_str());
    std::printf("columns: median wall time; its ratio to the reference; median CPU time of the measured "
                "processes and of nginx meanwhile; their peak RSS\n");
    const Bench bench{server, work, options.runs, toolCpu};
    for (const std::string& shape : options.shapes) {
        bench.measure(shape, options.sizeMiB * mebibyte);
    }
    if (!options.dir.empty()) {
        for (const std::string& shape : options.shapes) {
            fs::remove_all(work / ("installed-" + shape));
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return runBench(parseOptions(argc, argv));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "korvel-install-bench: %s\n", error.what());
        return 1;
    }
}
