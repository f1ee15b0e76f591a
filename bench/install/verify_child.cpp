// One verification of the selected release, measured by korvel-install-bench: prepare() whose
// download fails, so that it falls back to the installed release and verifies it in full. The
// signature check is a stub that accepts every bundle.
//
// Usage: korvel-bench-verify ROOT
#include <cstdio>
#include <exception>
#include <stdexcept>

#include "installer/online_installer.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: korvel-bench-verify ROOT\n", stderr);
        return 2;
    }
    try {
        korvel::OnlineInstaller installer(
            argv[1],
            [](const std::string&, const std::filesystem::path&, std::int64_t, const korvel::Progress&) {
                throw std::runtime_error("no network in this measurement");
            },
            [](const std::filesystem::path&) {});
        if (!installer.prepare().usedPrevious) {
            std::fputs("prepare() did not fall back to the installed release\n", stderr);
            return 1;
        }
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "korvel-bench-verify: %s\n", error.what());
        return 1;
    }
}
