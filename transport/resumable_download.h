#pragma once

#include <filesystem>

#include "installer/operations.h"
#include "transport/bounded_download.h"

namespace korvel {

// The installer's download operation with resumable transfers (TransportOptions::resume).
// A release file (an address under BootstrapPolicy::downloadBase, whose content never changes
// under its name) arrives in partialDirectory, under the hexadecimal SHA-256 of its address,
// and is linked to the destination the installer gave, so that the installer's checks see the
// file as it grows. What arrived survives a failed attempt, a closed window and a killed
// process, and the next attempt for the same address continues it; a completed file leaves
// the directory at once. Other addresses (the manifest changes under its name) are fetched
// whole, as by downloadFile.
//
// Must be called under the installer's update lock, which keeps the directory to one writer.
// partialDirectory is made (0700) when missing; it is opened and every entry in it is handled
// without following a symbolic link, and entries that are not regular files are removed. It
// holds at most BootstrapPolicy::totalLimit bytes: before a transfer that would pass that,
// the kept files of other addresses are removed.
DownloadOperation resumableDownload(std::filesystem::path partialDirectory, TransportOptions options);

} // namespace korvel
