// One first installation, measured by korvel-install-bench: prepare() into an empty root, its
// download operation a BoundedDownload from the loopback server, its signature check a stub
// that accepts every bundle. Prints "<seconds until the last download returned> <seconds
// after it>": the transfer phase (with the digests that overlap it) and what follows it (the
// staged verification, the rename and the commit).
//
// Usage: korvel-bench-install ROOT CA_FILE ADDRESS [--options]
// --options turns on what the launcher turns on (reuse of unchanged files and the rest).
#include <chrono>
#include <cstdio>
#include <exception>
#include <string_view>

#include "installer/online_installer.h"
#include "transport/bounded_download.h"

int main(int argc, char** argv) {
    if (argc != 4 && !(argc == 5 && std::string_view(argv[4]) == "--options")) {
        std::fputs("usage: korvel-bench-install ROOT CA_FILE ADDRESS [--options]\n", stderr);
        return 2;
    }
    try {
        const korvel::TransportOptions options = korvel::loopbackTransportOptions(argv[2], argv[3]);
        const auto start = std::chrono::steady_clock::now();
        auto lastDownloadEnd = start;
        korvel::OnlineInstaller installer(
            argv[1],
            [&](const std::string& url, const std::filesystem::path& destination, std::int64_t limit,
                const korvel::Progress& progress) {
                korvel::BoundedDownload download(destination, limit, progress, options);
                download.fetch(url);
                lastDownloadEnd = std::chrono::steady_clock::now();
            },
            [](const std::filesystem::path&) {}, {},
            argc == 5 ? korvel::InstallerOptions{true, true, true, true, {}} : korvel::InstallerOptions{});
        if (installer.prepare().usedPrevious) {
            std::fputs("the installation fell back to the previous release\n", stderr);
            return 1;
        }
        const std::chrono::duration<double> transfer = lastDownloadEnd - start;
        const std::chrono::duration<double> after = std::chrono::steady_clock::now() - lastDownloadEnd;
        std::printf("%.6f %.6f\n", transfer.count(), after.count());
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "korvel-bench-install: %s\n", error.what());
        return 1;
    }
}
