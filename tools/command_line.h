#pragma once

#include <string>
#include <string_view>

namespace korvel {

// Conventions the release tools share on their command lines (docs/release-tooling.md).

// "<program> <project version>", what --version prints.
std::string versionLine(const char* program);

// Writes text to standard output through its descriptor, so that a write that fails (a full
// disk) throws std::filesystem::filesystem_error with its errno at once, naming the stream.
void writeStandardOutput(std::string_view text);

// The exit status of a command that would otherwise end with status, once standard output is
// flushed: output of the C streams (help, version) lost to a full disk turns success into
// failure (status 1, the reason on standard error), so that "tool > file" never exits 0 with
// a short file.
int finishedWithOutput(const char* program, int status);

} // namespace korvel
