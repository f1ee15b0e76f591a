// Measures, from outside, the time from starting a process to its window's first paint:
// the launcher's window (korvel-startup-launcher) beside a minimal Qt Widgets program
// (korvel-startup-minimal), alternating between them so both see the same machine load.
// The clock runs from just before posix_spawn until the child's "painted" line arrives, so
// exec, dynamic loading, Qt's start-up and the first paint are all inside it.
//
// Usage: korvel-startup-bench [runs]   (default 41 per program, after one unmeasured round)
// The platform is Qt's usual choice: set QT_QPA_PLATFORM=offscreen, or run under xvfb-run.
// The children get a scratch HOME, removed at the end: the launcher's preparation runs for
// real and creates its install root there.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "base/process.h"
#include "base/unique_fd.h"
#include "bench/common/measure.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Sample {
    double wallMs = -1.0;  // spawn to "painted"; negative when the program never painted
    double cpuMs = 0.0;    // user and system time of the whole child, a figure less shaken by load
};

Sample timeToFirstPaint(const fs::path& program) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    korvel::UniqueFd readEnd(pipeFds[0]);
    korvel::UniqueFd writeEnd(pipeFds[1]);
    const Clock::time_point start = Clock::now();
    const pid_t child = korvel::startProcess(program, {}, {.standardOutput = writeEnd.get(), .standardError = 2});
    writeEnd.reset();
    std::string output;
    char buffer[64];
    while (output.find('\n') == std::string::npos) {
        const ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        output.append(buffer, static_cast<std::size_t>(n));
    }
    const Clock::time_point painted = Clock::now();
    readEnd.reset();
    const korvel::bench::ProcessFigures figures = korvel::bench::reap(child, start, program.filename());
    Sample sample;
    if (output == "painted\n") {
        sample.wallMs = std::chrono::duration<double, std::milli>(painted - start).count();
    }
    sample.cpuMs = figures.cpuSeconds * 1000.0;
    return sample;
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 41;
    const fs::path launcher = korvel::bench::besideThisProgram("korvel-startup-launcher");
    const fs::path minimal = korvel::bench::besideThisProgram("korvel-startup-minimal");
    std::string scratch = (fs::temp_directory_path() / "korvel-startup-XXXXXX").string();
    if (::mkdtemp(scratch.data()) == nullptr || ::setenv("HOME", scratch.c_str(), 1) != 0 ||
        ::unsetenv("XDG_DATA_HOME") != 0) {
        std::perror("scratch home");
        return 1;
    }
    struct RemoveScratch {
        fs::path path;
        ~RemoveScratch() {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
    } removeScratch{scratch};

    timeToFirstPaint(launcher);  // warm the page cache and font caches for both
    timeToFirstPaint(minimal);
    std::vector<Sample> launcherSamples;
    std::vector<Sample> minimalSamples;
    for (int i = 0; i < runs; ++i) {
        const bool launcherFirst = i % 2 == 0;
        const Sample first = timeToFirstPaint(launcherFirst ? launcher : minimal);
        const Sample second = timeToFirstPaint(launcherFirst ? minimal : launcher);
        if (first.wallMs < 0 || second.wallMs < 0) {
            std::fputs("a program ended without painting its window\n", stderr);
            return 1;
        }
        (launcherFirst ? launcherSamples : minimalSamples).push_back(first);
        (launcherFirst ? minimalSamples : launcherSamples).push_back(second);
    }

    const auto medianOf = [](const std::vector<Sample>& samples, double Sample::*field) {
        std::vector<double> values;
        for (const Sample& sample : samples) {
            values.push_back(sample.*field);
        }
        return korvel::bench::median(values);
    };
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    std::printf("platform: %s, runs: %d each, medians\n", platform != nullptr ? platform : "(Qt's default)", runs);
    std::printf("                 start to first paint   CPU time\n");
    const double launcherWall = medianOf(launcherSamples, &Sample::wallMs);
    const double minimalWall = medianOf(minimalSamples, &Sample::wallMs);
    const double launcherCpu = medianOf(launcherSamples, &Sample::cpuMs);
    const double minimalCpu = medianOf(minimalSamples, &Sample::cpuMs);
    std::printf("launcher window  %8.1f ms            %6.1f ms\n", launcherWall, launcherCpu);
    std::printf("minimal Qt app   %8.1f ms            %6.1f ms\n", minimalWall, minimalCpu);
    // The launcher links libcurl, OpenSSL and the two dozen libraries they bring: a fixed cost of
    // loading, not one that grows with the window, hence a target in milliseconds.
    const double extra = launcherWall - minimalWall;
    std::printf("difference       %8.1f ms            %6.1f ms   (target: first paint within 10 ms of the minimal "
                "program: %s)\n",
                extra, launcherCpu - minimalCpu, extra <= 10.0 ? "met" : "NOT MET");
    return 0;
}
