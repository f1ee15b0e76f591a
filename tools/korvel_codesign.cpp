// korvel-codesign: the release engineer's check of a signed bundle, the same check that Linux
// builds of the launcher run in process, with the command line and exit status of the macOS
// codesign call the launcher makes there:
//
//   korvel-codesign --verify --deep --strict BUNDLE
//
// exits 0 only when BUNDLE carries a valid signature by the key compiled into this build
// (KORVEL_SIGNING_PUBLIC_KEY) and holds exactly the files it lists; any other command line
// is a usage error (exit 2); a refused bundle exits 1 with the reason on standard error.

#include <cstdio>
#include <exception>
#include <string_view>

#include "transport/bundle_signature.h"

int main(int argc, char** argv) {
    constexpr std::string_view expected[] = {"--verify", "--deep", "--strict"};
    bool usage = argc != 5;
    for (int i = 1; !usage && i < 4; ++i) {
        usage = argv[i] != expected[i - 1];
    }
    if (usage) {
        std::fputs("usage: korvel-codesign --verify --deep --strict BUNDLE\n", stderr);
        return 2;
    }
    try {
        korvel::verifyBundle(argv[4], korvel::buildSigningPublicKey());
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "korvel-codesign: %s: %s\n", argv[4], error.what());
        return 1;
    }
}
