#pragma once

#include <string>

namespace korvel {

// Conventions the release tools share on their command lines (docs/release-tooling.md).

// "<program> <project version>", what --version prints.
std::string versionLine(const char* program);

// The exit status of a command that would otherwise end with status, once standard output is
// flushed: output lost to a full disk or a closed pipe turns success into failure (status 1,
// the reason on standard error), so that "tool > file" never exits 0 with a short file.
int finishedWithOutput(const char* program, int status);

} // namespace korvel
