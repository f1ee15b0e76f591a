// fileDigest of each file in turn on one thread, measured by korvel-install-bench: the
// per-core speed that the parallel verification builds on, beside openssl's.
//
// Usage: korvel-bench-digest FILE...
#include <cstdio>
#include <exception>

#include "installer/online_installer.h"

int main(int argc, char** argv) {
    try {
        for (int i = 1; i < argc; ++i) {
            std::printf("%s  %s\n", korvel::fileDigest(argv[i]).c_str(), argv[i]);
        }
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "korvel-bench-digest: %s\n", error.what());
        return 1;
    }
}
