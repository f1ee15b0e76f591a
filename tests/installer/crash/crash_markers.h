#pragma once

#include <unistd.h>

#include "tests/support/sample_release.h"

// What the crash child and the harness agree on. The child marks where prepare() begins and
// ends with a system call that names a path no one else uses, so that a system-call trace of
// the child can be split into the start-up before prepare(), prepare() itself and what follows.
namespace korvel::crash {

inline constexpr const char* prepareBegins = "/korvel-crash-marker/prepare-begins";
inline constexpr const char* prepareEnds = "/korvel-crash-marker/prepare-ends";

inline void markSystemCallTrace(const char* marker) { (void)::access(marker, F_OK); }

// The release the network offers to the child's update.
inline testing::SampleRelease newerRelease() { return testing::makeSampleRelease("r2", 5000); }

} // namespace korvel::crash
