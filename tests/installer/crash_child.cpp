// One launcher run, to be killed part-way: prepare() on the install root ROOT, with the
// launcher's options, a network that offers the sample release RELEASE and a signature check
// that passes every bundle. It
// marks where prepare() begins and ends with an access(2) of the paths BEGIN and END, so that a
// trace of its system calls can be split into the start-up, prepare() and what follows.
//
//   korvel-crash-child ROOT RELEASE BEGIN END
//
// Exit status 0 when prepare() returned, 1 when it threw (the reason on standard error).

#include <cstdint>
#include <exception>
#include <iostream>

#include <unistd.h>

#include "installer/online_installer.h"
#include "tests/support/sample_release.h"

int main(int, char** argv) {
    const auto network = korvel::test::sampleRelease(argv[2]).served();
    korvel::OnlineInstaller installer(
        argv[1],
        [&network](const std::string& url, const std::filesystem::path& destination, std::int64_t,
                   const korvel::Progress& progress) { korvel::test::deliver(network, url, destination, progress); },
        [](const std::filesystem::path&) {}, {}, korvel::InstallerOptions{true, true, true, true, {}});
    static_cast<void>(::access(argv[3], F_OK));
    try {
        installer.prepare();
    } catch (const std::exception& error) {
        std::cerr << "prepare failed: " << error.what() << '\n';
        return 1;
    }
    static_cast<void>(::access(argv[4], F_OK));
    return 0;
}
