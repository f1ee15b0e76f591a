// The transfers of an installation without its digests, measured by korvel-install-bench: a
// BoundedDownload of each URL into DIR/PATH in turn, and nothing else.
//
// Usage: korvel-bench-fetch CA_FILE ADDRESS DIR [URL PATH]...
#include <cstdio>
#include <exception>
#include <filesystem>

#include "policy/bootstrap_policy.h"
#include "transport/bounded_download.h"

int main(int argc, char** argv) {
    if (argc < 4 || argc % 2 != 0) {
        std::fputs("usage: korvel-bench-fetch CA_FILE ADDRESS DIR [URL PATH]...\n", stderr);
        return 2;
    }
    try {
        const korvel::TransportOptions options = korvel::loopbackTransportOptions(argv[1], argv[2]);
        for (int i = 4; i + 1 < argc; i += 2) {
            const std::filesystem::path destination = std::filesystem::path(argv[3]) / argv[i + 1];
            std::filesystem::create_directories(destination.parent_path());
            korvel::BoundedDownload download(destination, korvel::BootstrapPolicy::totalLimit, [](std::int64_t) {},
                                             options);
            download.fetch(argv[i]);
        }
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "korvel-bench-fetch: %s\n", error.what());
        return 1;
    }
}
