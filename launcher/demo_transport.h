#pragma once

#include <filesystem>
#include <string>

#include "transport/bounded_download.h"

namespace korvel {

// The transport options of a demo build (KORVEL_DEMO_CA_FILE, KORVEL_DEMO_CONNECT_ADDRESS):
// trust caFile as well, and reach both approved hosts, the manifest's and the release
// files', at connectAddress ("address:port"; none when empty). Release builds never call it.
TransportOptions demoTransportOptions(const std::filesystem::path& caFile, const std::string& connectAddress);

} // namespace korvel
