#pragma once

#include "launcher/launcher_delegate.h"

namespace korvel {

// Runs the launcher's application until the launch is over or the player closed the window,
// then ends the process with status 0 at once. Qt is shown only the program name, so no
// argument a player types (such as "-platform") changes what the launcher does; Qt's own
// environment variables still apply. Ignores SIGXFSZ for the whole process, so a file-size
// limit fails a write with EFBIG instead of ending the launcher.
[[noreturn]] void runLauncherApplication(const char* programName, PrepareOperation prepare);

} // namespace korvel
