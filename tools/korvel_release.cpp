// korvel-release: the release engineer's tool. BUNDLE is always the Korvel_Online_Beta.app
// directory itself.
//
//   korvel-release keygen --out DIR                        Ed25519 key pair for signing
//   korvel-release sign --key PRIVATE.pem BUNDLE           writes Contents/_CodeSignature/CodeResources
//   korvel-release manifest --release NAME BUNDLE          prints the manifest
//   korvel-release publish --release NAME --bundle BUNDLE --out SITE
//
// manifest and publish accept only a bundle signed with the key this build trusts.
//
// Exit status: 0 done, 1 refused or failed (the reason on standard error), 2 usage error.

#include <cstdio>
#include <exception>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tools/bundle_signature.h"
#include "tools/progress_bar.h"
#include "tools/release_publisher.h"
#include "tools/tool_files.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* usageText =
    "usage: korvel-release keygen --out DIR\n"
    "       korvel-release sign --key PRIVATE.pem BUNDLE\n"
    "       korvel-release manifest --release NAME BUNDLE\n"
    "       korvel-release publish --release NAME --bundle BUNDLE --out SITE\n"
    "BUNDLE is the Korvel_Online_Beta.app directory.\n";

constexpr std::int64_t keyFileLimit = 16384;

// A command line split into "--name value" options and positional arguments. nullopt when
// an option lacks its value, repeats, or is not one the command takes, or when the number
// of positional arguments is not the command's.
struct Arguments {
    std::map<std::string, std::string> options;
    std::vector<std::string> positional;

    static std::optional<Arguments> parse(const std::vector<std::string>& words, const std::set<std::string>& names,
                                          std::size_t positionalCount) {
        Arguments arguments;
        for (std::size_t i = 0; i < words.size(); ++i) {
            if (!words[i].starts_with("--")) {
                arguments.positional.push_back(words[i]);
            } else if (!names.contains(words[i]) || i + 1 == words.size() ||
                       !arguments.options.emplace(words[i], words[i + 1]).second) {
                return std::nullopt;
            } else {
                ++i;
            }
        }
        if (arguments.options.size() != names.size() || arguments.positional.size() != positionalCount) {
            return std::nullopt;
        }
        return arguments;
    }
};

int keygen(const Arguments& arguments) {
    const fs::path dir = arguments.options.at("--out");
    fs::create_directories(dir);
    const korvel::SigningKeyPair keys = korvel::generateSigningKeyPair();
    korvel::writeNewFile(dir / "korvel-signing-private.pem", keys.privatePem, 0600);
    korvel::writeNewFile(dir / "korvel-signing-public.pem", keys.publicPem, 0644);
    std::printf("Wrote %s (keep it secret) and %s (configure the build with -DKORVEL_SIGNING_PUBLIC_KEY=%s).\n",
                (dir / "korvel-signing-private.pem").c_str(), (dir / "korvel-signing-public.pem").c_str(),
                fs::absolute(dir / "korvel-signing-public.pem").c_str());
    return 0;
}

int sign(const Arguments& arguments) {
    const std::string key = korvel::readSmallFile(arguments.options.at("--key"), keyFileLimit);
    korvel::signBundle(arguments.positional.at(0), key);
    return 0;
}

int manifest(const Arguments& arguments) {
    korvel::DescribedRelease described;
    {
        korvel::ProgressBar bar("Hashing");
        described =
            korvel::describeRelease(arguments.options.at("--release"), arguments.positional.at(0),
                                    korvel::buildSigningPublicKey(), bar.callback());
    }
    std::fputs(described.manifest.c_str(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int publish(const Arguments& arguments) {
    const std::string release = arguments.options.at("--release");
    korvel::PublishReport report;
    {
        korvel::ProgressBar bar("Hashing");
        report = korvel::publishRelease(release, arguments.options.at("--bundle"), arguments.options.at("--out"),
                                        korvel::buildSigningPublicKey(), bar.callback());
    }
    std::printf("Release %s: %d files written, %d already published.\nManifest %s: %s\n", release.c_str(),
                report.written, report.alreadyPublished, report.manifestPath.c_str(),
                report.manifestWritten ? "written" : "unchanged");
    return 0;
}

struct Command {
    std::set<std::string> options;
    std::size_t positionalCount;
    int (*run)(const Arguments&);
};

const std::map<std::string, Command> commands = {
    {"keygen", {{"--out"}, 0, keygen}},
    {"sign", {{"--key"}, 1, sign}},
    {"manifest", {{"--release"}, 1, manifest}},
    {"publish", {{"--release", "--bundle", "--out"}, 0, publish}},
};

} // namespace

int main(int argc, char** argv) {
    const auto command = argc >= 2 ? commands.find(argv[1]) : commands.end();
    const std::optional<Arguments> arguments =
        command == commands.end()
            ? std::nullopt
            : Arguments::parse(std::vector<std::string>(argv + 2, argv + argc), command->second.options,
                               command->second.positionalCount);
    if (!arguments) {
        std::fputs(usageText, stderr);
        return 2;
    }
    try {
        return command->second.run(*arguments);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "korvel-release %s: %s\n", argv[1], error.what());
        return 1;
    }
}
