#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

// What every benchmark here needs: medians, and processes measured from the outside.
namespace korvel::bench {

double median(std::vector<double> values);

// Wall time of work, in seconds.
double secondsOf(const std::function<void()>& work);

// Keeps a process (0: the calling thread) on one core, so that a client and the server it
// measures against do not share one and neither measures the other's encryption. Failing to
// pin only makes the figures noisier, so it is reported and ignored.
void pin(pid_t pid, int cpu);

struct ProcessFigures {
    double seconds = 0;     // wall time from before the start to the reaped end
    double peakRssMiB = 0;
    double cpuSeconds = 0;  // user and system time of the process
};

// Waits for child, started at start, and answers its figures. Throws unless it exited with 0.
ProcessFigures reap(pid_t child, std::chrono::steady_clock::time_point start, const std::string& name);

// Runs argv (searched in PATH) to its end, pinned to cpu when given, with its standard output
// sent to output. Throws unless it exits with status 0.
ProcessFigures measureProcess(const std::vector<std::string>& argv, std::optional<int> cpu = std::nullopt,
                              const std::filesystem::path& output = "/dev/null");

// The benchmark's own executables are built side by side.
std::filesystem::path besideThisProgram(const std::string& name);

} // namespace korvel::bench
