#include "bench/common/measure.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include "base/process.h"
#include "base/unique_fd.h"

namespace korvel::bench {

namespace {

double seconds(const timeval& time) { return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6; }

} // namespace

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double secondsOf(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void pin(pid_t pid, int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (::sched_setaffinity(pid, sizeof set, &set) != 0) {
        std::perror("sched_setaffinity");
    }
}

ProcessFigures reap(pid_t child, std::chrono::steady_clock::time_point start, const std::string& name) {
    int status = 0;
    rusage usage{};
    while (::wait4(child, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "wait4");
        }
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error(name + " failed (wait status " + std::to_string(status) + ")");
    }
    return {elapsed, static_cast<double>(usage.ru_maxrss) / 1024.0,  // ru_maxrss is in KiB
            seconds(usage.ru_utime) + seconds(usage.ru_stime)};
}

ProcessFigures measureProcess(const std::vector<std::string>& argv, std::optional<int> cpu,
                              const std::filesystem::path& output) {
    const UniqueFd out = openFile(output, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = startProcess(argv.front(), {argv.begin() + 1, argv.end()},
                                     {.standardOutput = out.get(), .standardError = 2, .searchPath = true});
    if (cpu) {
        pin(child, *cpu);  // moments after the start: noise of microseconds in figures of seconds
    }
    return reap(child, start, argv.front() + (argv.size() > 1 ? " " + argv[1] : ""));
}

std::filesystem::path besideThisProgram(const std::string& name) {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path() / name;
}

} // namespace korvel::bench
