// korvel-release: the release engineer's tool (docs/release-tooling.md). BUNDLE is always the
// Korvel_Online_Beta.app directory itself.
//
//   korvel-release keygen --out DIR [--kind bundle|manifest]   Ed25519 key pair for signing
//   korvel-release sign --key PRIVATE.pem BUNDLE           writes Contents/_CodeSignature/CodeResources
//   korvel-release manifest --release NAME [--public-key PUBLIC.pem] BUNDLE
//   korvel-release publish --release NAME --bundle BUNDLE --out SITE [--public-key PUBLIC.pem]
//                          [--manifest-key PRIVATE.pem [--expires-at TIME]] [--rollback]
//   korvel-release resign --manifest-key PRIVATE.pem --out SITE [--expires-at TIME]
//
// Exit status: 0 done, 1 refused or failed (the reason on standard error), 2 usage error.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "policy/manifest_signature.h"
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
    fs::path manifestKey;
    std::string expiresAt;
    std::string kind = "bundle";
    bool rollback = false;
    fs::path bundle;
    std::string release;
};

// --manifest-key and --expires-at: the signing of the manifest, none without a key.
std::optional<korvel::ManifestSigning> manifestSigning(const Options& options) {
    if (options.manifestKey.empty()) {
        if (!options.expiresAt.empty()) {
            throw std::invalid_argument("--expires-at needs --manifest-key: only a signed manifest expires.");
        }
        return std::nullopt;
    }
    korvel::ManifestSigning signing{korvel::readSmallFile(options.manifestKey, keyFileLimit), 0};
    if (options.expiresAt.empty()) {
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        signing.expiresAt = std::chrono::duration_cast<std::chrono::seconds>(now).count() +
                            korvel::defaultManifestLifetimeSeconds;
    } else if (const std::optional<std::int64_t> time = korvel::parseUtcTime(options.expiresAt)) {
        signing.expiresAt = *time;
    } else {
        throw std::invalid_argument("--expires-at takes a UTC time as YYYY-MM-DDTHH:MM:SSZ, not \"" +
                                    options.expiresAt + "\".");
    }
    return signing;
}

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

// Bundle keys sign release bundles; manifest keys sign the published manifest. Keeping them
// apart means the key that signs every release need not sit on the machine that renews the
// manifest's expiry each day.
void keygen(const Options& options) {
    fs::create_directories(options.out);
    const korvel::SigningKeyPair keys = korvel::generateSigningKeyPair();
    const std::string prefix = options.kind == "manifest" ? "korvel-manifest-" : "korvel-signing-";
    const fs::path privateKey = options.out / (prefix + "private.pem");
    const fs::path publicKey = options.out / (prefix + "public.pem");
    const std::string variable = options.kind == "manifest" ? "KORVEL_MANIFEST_PUBLIC_KEYS" : "KORVEL_SIGNING_PUBLIC_KEY";
    korvel::writeNewFile(privateKey, keys.privatePem, 0600);
    korvel::writeNewFile(publicKey, keys.publicPem, 0644);
    korvel::writeStandardOutput("Wrote " + privateKey.string() + " (keep it secret) and " + publicKey.string() +
                                " (configure the build with -D" + variable + "=" + fs::absolute(publicKey).string() +
                                ").\n");
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
                                        {manifestSigning(options), options.rollback}, bar.callback());
    }
    korvel::writeStandardOutput("Release " + options.release + ": " + std::to_string(report.written) +
                                " files written, " + std::to_string(report.alreadyPublished) +
                                " already published.\nManifest " + report.manifestPath.string() + ": " +
                                (report.manifestWritten ? "written" : "unchanged") + "\n");
}

void resign(const Options& options) {
    const std::optional<korvel::ManifestSigning> signing = manifestSigning(options);
    const std::int64_t sequence = korvel::resignManifest(options.out, *signing);
    korvel::writeStandardOutput("Manifest signed again as sequence " + std::to_string(sequence) + ", valid until " +
                                korvel::formatUtcTime(signing->expiresAt) + ".\n");
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

    const auto manifestKeyOptions = [&](CLI::App* subcommand) {
        subcommand->add_option("--manifest-key", options.manifestKey, "PEM private key that signs the manifest")
            ->type_name("PRIVATE.pem");
        subcommand->add_option("--expires-at", options.expiresAt,
                               "When the signed manifest expires, UTC (default: 30 days from now)")
            ->type_name("YYYY-MM-DDTHH:MM:SSZ");
    };

    CLI::App* keygenCommand = command("keygen", "Make an Ed25519 key pair for signing releases", keygen);
    keygenCommand->add_option("--out", options.out, "Directory for the two PEM files")->required()->type_name("DIR");
    keygenCommand->add_option("--kind", options.kind, "bundle (signs bundles) or manifest (signs the manifest)")
        ->check(CLI::IsMember({"bundle", "manifest"}));

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
    manifestKeyOptions(publishCommand);
    publishCommand->add_flag("--rollback", options.rollback, "Allow pointing the manifest back at an older release");

    CLI::App* resignCommand =
        command("resign", "Sign the live manifest again under a new sequence number and expiry", resign);
    resignCommand->add_option("--out", options.out, "The site tree, one directory per host")
        ->required()
        ->type_name("SITE");
    manifestKeyOptions(resignCommand);
    resignCommand->get_option("--manifest-key")->required();

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
