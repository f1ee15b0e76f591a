// One launcher run, to be killed part-way: prepare() on an install root, with a network that
// offers crash::newerRelease() and a signature check that accepts every bundle. The harness
// kills it either here, at the Nth call of an injected operation, or from outside, at the Nth
// occurrence of a system call.
//
//   korvel-crash-child ROOT [KILL_AT_CALL]
//
// After a run that was not killed it prints "started <executable> <0|1 usedPrevious>", exit
// status 0; a failed prepare() prints "failed <reason>", exit status 1.

#include <csignal>
#include <cstdlib>
#include <exception>
#include <iostream>

#include "tests/installer/crash/crash_markers.h"
#include "tests/installer/stub_operations.h"

namespace {

long callCount = 0;
long killAtCall = 0;

// Every call of an injected operation is a place where the process may die. Progress needs
// no hook of its own: it reaches the status operation at once, half-way through a file.
void injectedCall() {
    if (++callCount == killAtCall) {
        std::raise(SIGKILL);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: korvel-crash-child ROOT [KILL_AT_CALL]\n";
        return 2;
    }
    killAtCall = argc > 2 ? std::atol(argv[2]) : 0;
    korvel::testing::StubNetwork network;
    network.publish(korvel::crash::newerRelease());
    network.onRequest = [](const std::filesystem::path&) { injectedCall(); };
    korvel::OnlineInstaller installer(
        argv[1], network.operation(), [](const std::filesystem::path&) { injectedCall(); },
        [](const std::string&, double) { injectedCall(); });
    try {
        korvel::crash::markSystemCallTrace(korvel::crash::prepareBegins);
        const korvel::PreparedClient client = installer.prepare();
        korvel::crash::markSystemCallTrace(korvel::crash::prepareEnds);
        std::cout << "started " << client.executable.string() << ' ' << client.usedPrevious << std::endl;
        return 0;
    } catch (const std::exception& error) {
        std::cout << "failed " << error.what() << std::endl;
        return 1;
    }
}
