#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <sys/types.h>

namespace korvel {

// Starts program directly, never through a shell, so every argument arrives as it is, blanks
// and quotes included. argv[0] is the program's path, followed by arguments. The child gets
// environment (nullptr: the launcher's own), standard output and error on the null device,
// the launcher's standard input and working directory, and every signal at its default with
// none blocked: whatever the launcher or a library in it ignores or blocks must not change how
// the child runs. Does not wait. A child that cannot be started throws
// std::filesystem::filesystem_error with the errno and the program's path.
pid_t startProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                   const std::vector<std::string>* environment = nullptr);

} // namespace korvel
