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

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Sample {
    double wallMs = -1.0;  // spawn to "painted"; negative when the program never painted
    double cpuMs = 0.0;    // user and system time of the whole child, a figure less shaken by load
};

Sample timeToFirstPaint(const fs::path& program) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    std::string path = program.string();
    char* argv[] = {path.data(), nullptr};

    const Clock::time_point start = Clock::now();
    pid_t child = -1;
    const int error = ::posix_spawn(&child, path.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (error != 0) {
        std::fprintf(stderr, "cannot start %s\n", path.c_str());
        std::exit(1);
    }
    std::string output;
    char buffer[64];
    while (output.find('\n') == std::string::npos) {
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        output.append(buffer, static_cast<std::size_t>(n));
    }
    const Clock::time_point painted = Clock::now();
    ::close(pipeFds[0]);
    rusage usage{};
    ::wait4(child, nullptr, 0, &usage);
    Sample sample;
    if (output == "painted\n") {
        sample.wallMs = std::chrono::duration<double, std::milli>(painted - start).count();
    }
    const auto toMs = [](const timeval& time) { return time.tv_sec * 1000.0 + time.tv_usec / 1000.0; };
    sample.cpuMs = toMs(usage.ru_utime) + toMs(usage.ru_stime);
    return sample;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 41;
    const fs::path directory = fs::read_symlink("/proc/self/exe").parent_path();
    const fs::path launcher = directory / "korvel-startup-launcher";
    const fs::path minimal = directory / "korvel-startup-minimal";
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
        return median(values);
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
    const double ratio = launcherWall / minimalWall;
    std::printf("ratio            %8.3fx             %6.3fx   (target: first paint within 1.20x: %s)\n", ratio,
                launcherCpu / minimalCpu, ratio <= 1.2 ? "met" : "NOT MET");
    return 0;
}
