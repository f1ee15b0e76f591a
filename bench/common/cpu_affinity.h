#pragma once

#include <cstdio>

#include <sched.h>
#include <sys/types.h>

namespace korvel::bench {

// Keeps a process (0: the calling thread) on one core, so that a client and the server it
// measures against do not share one and neither measures the other's encryption. Failing to
// pin only makes the figures noisier, so it is reported and ignored.
inline void pin(pid_t pid, int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (::sched_setaffinity(pid, sizeof set, &set) != 0) {
        std::perror("sched_setaffinity");
    }
}

} // namespace korvel::bench
