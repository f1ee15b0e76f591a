// korvel-release: the release engineer's tool (docs/release-tooling.md). BUNDLE is always the
// Korvel_Online_Beta.app directory itself.
//
//   korvel-release keygen --out DIR                        Ed25519 key pair for signing
//   korvel-release sign --key PRIVATE.pem BUNDLE           writes Contents/_CodeSignature/CodeResources
//   korvel-release manifest --release NAME [--public-key PUBLIC.pem] BUNDLE
//   korvel-release publish --release NAME --bundle BUNDLE --out SITE [--public-key PUBLIC.pem]
//
// Exit status: 0 done, 1 refused or failed (the reason on standard error), 2 usage error.

#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/bundle_signature.h"
#include "tools/command_line.h"
#include "tools/progress_bar.h"
#include "tools/release_publisher.h"
#include "tools/tool_files.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* program = "korvel-release";
constexpr std::int64_t keyFileLimit = 16384;

struct Options {
    fs::path out;
    fs::path key;
    fs::path publicKey;
    fs::path bundle;
    std::string release;
};

// The key a bundle must be signed with: --public-key, else the one this build trusts.
std::string trustedKey(const Options& options) {
    return options.publicKey.empty() ? std::string(korvel::buildSigningPublicKey())
                                     : korvel::readSmallFile(options.publicKey, keyFileLimit);
}

std::string mebibytes(std::int64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
    return text;
}

void keygen(const Options& options) {
    fs::create_directories(options.out);
    const korvel::SigningKeyPair keys = korvel::generateSigningKeyPair();
    const fs::path privateKey = options.out / "korvel-signing-private.pem";
    const fs::path publicKey = options.out / "korvel-signing-public.pem";
    korvel::writeNewFile(privateKey, keys.privatePem, 0600);
    korvel::writeNewFile(publicKey, keys.publicPem, 0644);
    korvel::writeStandardOutput("Wrote " + privateKey.string() + " (keep it secret) and " + publicKey.string() +
                                " (configure the build with -DKORVEL_SIGNING_PUBLIC_KEY=" +
                                fs::absolute(publicKey).string() + ").\n");
}

void sign(const Options& options) {
    const std::string key = korvel::readSmallFile(options.key, keyFileLimit);
    // Whether this build's launcher will accept the result: a signature it verifies.
    const std::string_view buildKey = korvel::buildSigningPublicKey();
    const std::string probe = "korvel-release sign";
    const bool trusted =
        !buildKey.empty() && korvel::signatureLineVerifies(buildKey, korvel::signatureLine(key, probe), probe);
    std::vector<korvel::BundleFile> files;
    {
        korvel::ProgressBar bar("Hashing");
        files = korvel::signBundle(options.bundle, key, bar.callback());
    }
    std::int64_t bytes = 0;
    for (const auto& file : files) {
        bytes += file.bytes;
    }
    korvel::writeStandardOutput("Signed " + options.bundle.string() + ": " + std::to_string(files.size()) +
                                " files, " + mebibytes(bytes) + ", with a key this build " +
                                (trusted ? "trusts" : "does not trust (publish with --public-key)") + ".\n");
}

void manifest(const Options& options) {
    korvel::DescribedRelease described;
    {
        korvel::ProgressBar bar("Hashing");
        described = korvel::describeRelease(options.release, options.bundle, trustedKey(options), bar.callback());
    }
    korvel::writeStandardOutput(described.manifest);
}

void publish(const Options& options) {
    korvel::PublishReport report;
    {
        korvel::ProgressBar bar("Hashing");
        report = korvel::publishRelease(options.release, options.bundle, options.out, trustedKey(options),
                                        bar.callback());
    }
    korvel::writeStandardOutput("Release " + options.release + ": " + std::to_string(report.written) +
                                " files written, " + std::to_string(report.alreadyPublished) +
                                " already published.\nManifest " + report.manifestPath.string() + ": " +
                                (report.manifestWritten ? "written" : "unchanged") + "\n");
}

// "korvel-release publish: <what is wrong>" and where to look for the usage.
std::string usageError(const CLI::App* app, const CLI::Error& error) {
    std::string command = program;
    for (const CLI::App* subcommand : app->get_subcommands()) {
        command += " " + subcommand->get_name();
    }
    return command + ": " + error.what() + "\nRun '" + command + " --help' for its usage.\n";
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app("The release engineer's tool: signing keys, bundle signatures, manifests and the published site. "
                 "BUNDLE is the Korvel_Online_Beta.app directory itself.",
                 program);
    app.set_version_flag("--version", korvel::versionLine(program), "Print the version and exit");
    app.require_subcommand(1);
    app.allow_extras();  // inherited by every command
    app.failure_message(usageError);
    app.footer("Exit status: 0 done, 1 refused or failed (the reason on standard error), 2 usage error.");

    Options options;
    std::map<std::string, std::function<void(const Options&)>> commands;
    const auto command = [&](const char* name, const char* description, std::function<void(const Options&)> run) {
        commands.emplace(name, std::move(run));
        return app.add_subcommand(name, description);
    };
    const auto publicKeyOption = [&](CLI::App* subcommand) {
        subcommand->add_option("--public-key", options.publicKey,
                               "PEM public key the bundle must be signed with (default: the one this build trusts)")
            ->type_name("PUBLIC.pem");
    };

    CLI::App* keygenCommand = command("keygen", "Make an Ed25519 key pair for signing releases", keygen);
    keygenCommand->add_option("--out", options.out, "Directory for the two PEM files")->required()->type_name("DIR");

    CLI::App* signCommand =
        command("sign", "Sign a bundle: write its Contents/_CodeSignature/CodeResources", sign);
    signCommand->add_option("--key", options.key, "PEM private key from keygen")->required()->type_name("PRIVATE.pem");
    signCommand->add_option("BUNDLE", options.bundle, "The bundle to sign")->required()->type_name("DIR");

    CLI::App* manifestCommand =
        command("manifest", "Print the manifest of a signed bundle on standard output", manifest);
    manifestCommand->add_option("--release", options.release, "Release name")->required()->type_name("NAME");
    publicKeyOption(manifestCommand);
    manifestCommand->add_option("BUNDLE", options.bundle, "The signed bundle")->required()->type_name("DIR");

    CLI::App* publishCommand =
        command("publish", "Publish a signed bundle and its manifest into a static site tree", publish);
    publishCommand->add_option("--release", options.release, "Release name")->required()->type_name("NAME");
    publishCommand->add_option("--bundle", options.bundle, "The signed bundle")->required()->type_name("DIR");
    publishCommand->add_option("--out", options.out, "The site tree, one directory per host")
        ->required()
        ->type_name("SITE");
    publicKeyOption(publishCommand);

    // Unknown arguments are collected rather than refused at once, so that they are named
    // first, before any required option they may have been meant as. (ExtrasError lists them
    // in reverse.)
    const auto unknownArguments = [&] {
        std::vector<std::string> unknown = app.remaining(true);
        std::reverse(unknown.begin(), unknown.end());
        return CLI::ExtrasError(unknown);
    };
    try {
        app.parse(argc, argv);
        if (!app.remaining(true).empty()) {
            throw unknownArguments();
        }
    } catch (const CLI::ParseError& error) {
        // Help and version go to standard output with status 0; anything else is a usage error.
        const bool unknown = error.get_exit_code() != 0 && !app.remaining(true).empty();
        const int status = unknown ? app.exit(unknownArguments()) : app.exit(error);
        return korvel::finishedWithOutput(program, status == 0 ? 0 : 2);
    }
    const std::string name = app.get_subcommands().front()->get_name();
    try {
        commands.at(name)(options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s %s: %s\n", program, name.c_str(), error.what());
        return korvel::finishedWithOutput(program, 1);
    }
    return korvel::finishedWithOutput(program, 0);
}
