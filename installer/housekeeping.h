#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "base/unique_fd.h"

namespace korvel {

// Housekeeping of the install root for the installer's options; run under the update lock.
// Removal never follows a symbolic link (a link is removed as a link, its target untouched) and
// never fails the run: what could not be removed is answered, for tests to see, and is met
// again by the next run.
struct RemovalFailure {
    std::filesystem::path path;
    std::error_code error;
};

// Where the launcher's resumable downloads keep what arrived (transport/resumable_download.h).
inline constexpr const char* partialDownloadsName = "partial-downloads";

// ".stage-*" directories and ".manifest-*" files that stopped runs left in root.
std::vector<RemovalFailure> removeStaleStaging(const std::filesystem::path& root);

// Every entry of the releases directory whose name is not in keep.
std::vector<RemovalFailure> pruneReleases(const std::filesystem::path& releases, const std::set<std::string>& keep);

// The regular file at relative below the directory open at directory, opened for reading
// without following a link at any level and without blocking on a FIFO; an empty UniqueFd when
// any level is missing, a link, or of the wrong type.
UniqueFd openRegularBeneath(int directory, const std::filesystem::path& relative);

} // namespace korvel
