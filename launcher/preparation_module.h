#pragma once

#include <filesystem>

#include "installer/online_installer.h"
#include "installer/operations.h"

namespace korvel {

// Where a launcher finds its preparation module: "korvel-preparation.so" beside the running
// executable. Throws std::filesystem::filesystem_error when /proc/self/exe cannot be read.
std::filesystem::path preparationModuleBesideExecutable();

// The launcher's preparation: loads the module on the calling thread (the background one),
// keeps it loaded for the rest of the process, and runs its entry point. A module that
// cannot be loaded throws std::runtime_error with the dynamic loader's description, which
// names the file.
PreparedClient prepareWithModule(const std::filesystem::path& module, const StatusOperation& status);

} // namespace korvel
