#pragma once

namespace korvel {

// The process entry. With "--check-config" as any argument (exactly, the program path
// included) it prints "Korvel online bootstrap: " and the manifest address on one line and
// returns, before any Qt object exists, so it needs no display and touches nothing. Otherwise
// it runs the launcher and ends the process when the launch is over; every other argument is
// ignored.
struct KorvelOnlineBootstrap {
    static void main(int argc, char** argv);
};

} // namespace korvel
