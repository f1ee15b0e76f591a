// One launcher run, to be killed part-way: prepare() on an install root, with a download that
// serves a published release from a directory and a signature check that accepts every
// bundle. The harness kills it either here, at the Nth call of an injected operation, or from
// outside, at the Nth occurrence of a system call.
//
//   korvel-crash-child ROOT SERVED [KILL_AT_CALL]
//
// SERVED holds what the two hosts would serve: a URL "https://<host>/<path>" is the file
// SERVED/<path>. After a run that was not killed it prints "calls <count of injected
// operation calls>" and "started <executable> <0|1 usedPrevious>", exit status 0; a failed
// prepare() prints "failed <reason>", exit status 1.

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>

#include <unistd.h>

#include "installer/online_installer.h"
#include "tests/installer/crash/crash_markers.h"
#include "tests/installer/stub_operations.h"
#include "tests/support/temp_dir.h"
#include "transport/transport_error.h"

namespace {

namespace fs = std::filesystem;

long callCount = 0;
long killAtCall = 0;

// Every call of an injected operation is a place where the process may die. Progress needs
// no hook of its own: it reaches the status operation at once, half-way through a file.
void injectedCall() {
    if (++callCount == killAtCall) {
        std::raise(SIGKILL);
    }
}

korvel::DownloadOperation servedFrom(const fs::path& served) {
    return [served](const std::string& url, const fs::path& destination, std::int64_t limit,
                    const korvel::Progress& progress) {
        injectedCall();
        const std::string scheme = "https://";
        const std::size_t pathStart = url.find('/', scheme.size());
        const fs::path file = served / url.substr(pathStart + 1);
        if (!url.starts_with(scheme) || pathStart == std::string::npos || !fs::is_regular_file(file)) {
            throw korvel::TransportError(7, "Couldn't connect to server");
        }
        korvel::testing::deliver(destination, korvel::testing::readFile(file), limit, progress);
    };
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: korvel-crash-child ROOT SERVED [KILL_AT_CALL]\n";
        return 2;
    }
    killAtCall = argc > 3 ? std::atol(argv[3]) : 0;
    korvel::OnlineInstaller installer(
        argv[1], servedFrom(argv[2]), [](const fs::path&) { injectedCall(); },
        [](const std::string&, double) { injectedCall(); });
    try {
        korvel::crash::markSystemCallTrace(korvel::crash::prepareBegins);
        const korvel::PreparedClient client = installer.prepare();
        korvel::crash::markSystemCallTrace(korvel::crash::prepareEnds);
        std::cout << "calls " << callCount << "\nstarted " << client.executable.string() << ' '
                  << client.usedPrevious << std::endl;
        return 0;
    } catch (const std::exception& error) {
        std::cout << "failed " << error.what() << std::endl;
        return 1;
    }
}
