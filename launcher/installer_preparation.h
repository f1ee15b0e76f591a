#pragma once

#include "installer/online_installer.h"
#include "installer/operations.h"
#include "transport/bounded_download.h"

namespace korvel {

// The launcher's preparation, and the only place where the installer's operations are chosen:
// the installer for the player's install root, with the bounded HTTPS download (under
// transport, which only demo and test builds fill), the platform's signature check and the
// given options. Runs prepare() on the calling thread and throws whatever it throws.
PreparedClient prepareInstalledClient(const TransportOptions& transport, const InstallerOptions& options,
                                      const StatusOperation& status);

} // namespace korvel
