// korvel-codesign: the release engineer's check of a signed bundle, the same check that Linux
// builds of the launcher run in process, with the command line and exit status of the macOS
// codesign call the launcher makes there:
//
//   korvel-codesign --verify --deep --strict BUNDLE
//
// exits 0 only when BUNDLE carries a valid signature by the key compiled into this build
// (KORVEL_SIGNING_PUBLIC_KEY) and holds exactly the files it lists; a refused bundle exits 1
// with the reason on standard error. --help and --version answer on standard output with 0;
// any other command line is a usage error (exit 2). The verifying command line is matched
// exactly, in this order, as the launcher's contract with codesign fixes it.

#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include "tools/command_line.h"
#include "transport/bundle_signature.h"

namespace {

constexpr const char* program = "korvel-codesign";
constexpr const char* usage = "usage: korvel-codesign --verify --deep --strict BUNDLE\n";
constexpr std::string_view verifyOptions[] = {"--verify", "--deep", "--strict"};

// Empty for the verifying command line; otherwise what is wrong with it, naming the first
// argument out of place.
std::string commandLineError(int argc, char** argv) {
    for (int i = 1; i < 4; ++i) {
        const std::string expected(verifyOptions[i - 1]);
        if (i >= argc) {
            return "missing " + expected;
        }
        if (argv[i] != expected) {
            return "unexpected argument '" + std::string(argv[i]) + "' where " + expected + " belongs";
        }
    }
    if (argc < 5) {
        return "missing BUNDLE";
    }
    return argc > 5 ? "unexpected argument '" + std::string(argv[5]) + "'" : "";
}

} // namespace

int main(int argc, char** argv) {
    const std::string_view only = argc == 2 ? argv[1] : "";
    if (only == "--help" || only == "-h") {
        std::printf("%sVerifies BUNDLE (the Korvel_Online_Beta.app directory) against the signing key this build "
                    "trusts.\nExit status: 0 valid, 1 refused (the reason on standard error), 2 usage error.\n",
                    usage);
        return korvel::finishedWithOutput(program, 0);
    }
    if (only == "--version") {
        std::printf("%s\n", korvel::versionLine(program).c_str());
        return korvel::finishedWithOutput(program, 0);
    }
    if (const std::string error = commandLineError(argc, argv); !error.empty()) {
        std::fprintf(stderr, "%s: %s\n%sRun 'korvel-codesign --help' for more.\n", program, error.c_str(), usage);
        return 2;
    }
    try {
        korvel::verifyBundle(argv[4], korvel::buildSigningPublicKey());
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s: %s: %s\n", program, argv[4], error.what());
        return 1;
    }
}
