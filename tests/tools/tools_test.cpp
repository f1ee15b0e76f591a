// The release tooling as the release engineer and the launcher run it: real korvel-release and
// korvel-codesign processes, judged by their exit status and what they say.

#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "policy/bootstrap_error.h"
#include "policy/bootstrap_policy.h"
#include "tests/servers/child_process.h"
#include "tests/support/outcome.h"
#include "tests/support/sample_release.h"
#include "tests/support/temp_dir.h"
#include "transport/bundle_listing.h"
#include "tools/bundle_signature.h"
#include "tools/command_line.h"
#include "transport/signature_check.h"

namespace korvel::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

const std::string releaseTool = KORVEL_RELEASE_BINARY;
const std::string signatureRefused =
    "The downloaded Mac game failed its application signature check. Installation was not changed.";

class ReleaseTooling : public ::testing::Test {
protected:
    // The release's bundle in a fresh directory whose name holds a blank.
    fs::path bundleOf(const SampleRelease& release) {
        const fs::path parent = dir / ("bundle " + std::to_string(++bundles));
        release.writeBundle(parent);
        return parent / BootstrapPolicy::app;
    }

    fs::path signedBundle() { return bundleOf(signedRelease(sampleRelease("beta-1"))); }

    // The release as korvel-release sign leaves it: CodeResources holds the test key's signature.
    SampleRelease signedRelease(SampleRelease release) {
        const fs::path bundle = bundleOf(release);
        EXPECT_EQ(runChild({releaseTool, "sign", "--key", KORVEL_TEST_PRIVATE_KEY, bundle.string()}).exitStatus, 0);
        release.contents[BootstrapPolicy::app + "/" + std::string(codeResourcesPath)] =
            readFile(bundle / codeResourcesPath);
        return release;
    }

    // korvel-release publish of the bundle as release name into the site, then options.
    std::vector<std::string> publishing(const std::string& name, const fs::path& bundle,
                                        std::vector<std::string> options = {}) {
        options.insert(options.begin(), {releaseTool, "publish", "--release", name, "--bundle", bundle, "--out", site});
        return options;
    }

    ChildResult publish(const std::string& name, const fs::path& bundle) { return runChild(publishing(name, bundle)); }

    void SetUp() override {
        writeFile(otherKey, other.privatePem);
        writeFile(otherPublicKey, other.publicPem);
    }

    TempDir dir;
    fs::path site = dir / "site";
    int bundles = 0;
    const SigningKeyPair other = generateSigningKeyPair();  // a key pair this build does not trust
    const fs::path otherKey = dir / "other-private.pem", otherPublicKey = dir / "other-public.pem";
};

// korvel-codesign and the launcher's own check in process judge a bundle alike.
TEST_F(ReleaseTooling, CodesignAndTheLauncherPassOnlyTheBundleAsSigned) {
    const struct {
        std::function<void(const fs::path& bundle)> alter;
        std::string reason;  // "" when the bundle passes
    } rows[] = {
        {[](auto&) {}, ""},
        {[](auto& b) { writeFile(b / "Contents/PkgInfo", "APPL????" + readFile(b / "Contents/PkgInfo").substr(8)); },
         "changed: Contents/PkgInfo"},
        {[](auto& b) { writeFile(b / "Contents/_CodeSignature/x", "x"); }, "unlisted: Contents/_CodeSignature/x"},
        {[](auto& b) { fs::remove(b / "Contents/PkgInfo"); }, "missing: Contents/PkgInfo"},
        {[](auto& b) {
             fs::rename(b / "Contents/PkgInfo", b.parent_path() / "PkgInfo");
             fs::create_symlink(b.parent_path() / "PkgInfo", b / "Contents/PkgInfo");
         },
         "holds symbolic links, which are not allowed: Contents/PkgInfo."},
        {[&](auto& b) { runChild({releaseTool, "sign", "--key", otherKey.string(), b.string()}); }, "another key"},
        {[](auto& b) { fs::remove_all(b); }, "Not a bundle directory: "},
        {[](auto& b) { fs::remove(b / codeResourcesPath); ::mkfifo((b / codeResourcesPath).c_str(), 0644); },
         std::string(codeResourcesPath) + " is not a regular file"},
        {[](auto& b) { fs::remove(b / "Contents/PkgInfo"); ::mkfifo((b / "Contents/PkgInfo").c_str(), 0644); },
         "not regular files or directories, or whose names hold a line break: Contents/PkgInfo."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.reason);
        const fs::path bundle = signedBundle();
        row.alter(bundle);
        const ChildResult verdict =
            runChild({KORVEL_CODESIGN_BINARY, "--verify", "--deep", "--strict", bundle.string()});
        EXPECT_EQ(verdict.exitStatus, row.reason.empty() ? 0 : 1) << verdict.errors;
        EXPECT_THAT(verdict.errors, HasSubstr(row.reason));
        EXPECT_EQ(outcomeOf([&] { verifyDownloadedApp(bundle); }), row.reason.empty() ? "" : signatureRefused);
    }
    EXPECT_EQ(outcomeOf([&] { verifyBundle(signedBundle(), ""); }),
              "This build trusts no signing key, so it accepts no bundle.");
    const std::string bundle = signedBundle().string();
    EXPECT_EQ(runChild({KORVEL_CODESIGN_BINARY, "--verify", "--deep", "--strict", bundle, bundle}).exitStatus, 2);
    EXPECT_EQ(runChild({KORVEL_CODESIGN_BINARY, "--deep", "--verify", "--strict", bundle}).exitStatus, 2);
    EXPECT_EQ(runChild({KORVEL_CODESIGN_BINARY, "--verify", "--deep", "--strict"}).exitStatus, 2);
}

TEST(BundleListing, ParsesOnlyTheCanonicalForm) {
    const std::string header = "korvel bundle listing 1\n";
    const std::string line = std::string(64, 'a') + " 7 - Contents/a\n";
    const std::string failsAt2 = "The signed listing does not parse at line 2.";
    const struct {
        std::string listing;
        std::string outcome;
    } rows[] = {
        {header + line + std::string(64, 'b') + " 9 x Contents/b c\n", ""},
        {"korvel bundle listing 2\n" + line, "The signed listing does not begin with its header."},
        {header + line + line, "The signed listing does not parse at line 3."},
        {header + std::string(64, 'a') + " 7 - Contents/b\n" + line, "The signed listing does not parse at line 3."},
        {header + std::string(64, 'A') + " 7 - Contents/a\n", failsAt2},
        {header + std::string(64, 'a') + " 7 - " + std::string(codeResourcesPath) + "\n", failsAt2},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(outcomeOf([&] { parseListing(row.listing); }), row.outcome) << row.listing;
    }
}

TEST_F(ReleaseTooling, ManifestDescribesOnlyABundleTheLauncherWouldInstall) {
    const SampleRelease release = signedRelease(sampleRelease("beta-7_rc.2"));
    const ChildResult described = runChild({releaseTool, "manifest", "--release", release.name, bundleOf(release)});
    ASSERT_EQ(described.exitStatus, 0) << described.errors;
    EXPECT_EQ(described.output, encodeJson(release.manifest()));
    const struct {
        std::string name;
        std::function<void(const fs::path& bundle)> alter;
        std::string reason;
    } rows[] = {
        {"beta.", [](auto&) {}, "Not a valid release name: \"beta.\""},
        {"beta-1", [](auto& b) { writeFile(b / "Contents/Resources/notes.txt", "x"); },
         "unexpected: Korvel_Online_Beta.app/Contents/Resources/notes.txt"},
        {"beta-1", [](auto& b) { fs::create_symlink("online.json", b / "Contents/Resources/link"); },
         "holds symbolic links, which are not allowed: Contents/Resources/link."},
        {"beta-1", [](auto& b) { fs::permissions(b / "Contents/MacOS/KorvelEngine", fs::perms(0644)); },
         "Contents/MacOS/KorvelEngine (must be executable)"},
        {"beta-1", [](auto& b) { fs::permissions(b / "Contents/PkgInfo", fs::perms(0755)); },
         "Contents/PkgInfo (must not be executable)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.reason);
        const fs::path bundle = bundleOf(sampleRelease(row.name));
        row.alter(bundle);
        const ChildResult refused = runChild({releaseTool, "manifest", "--release", row.name, bundle.string()});
        EXPECT_EQ(refused.exitStatus, 1);
        EXPECT_EQ(refused.output, "") << "a manifest for a refused bundle";
        EXPECT_THAT(refused.errors, HasSubstr(row.reason));
    }
}

// A release name is immutable: republishing the same bundle is harmless, another bundle under the
// name is refused without a change, and a new release keeps the files launchers may still fetch.
TEST_F(ReleaseTooling, PublishesEachReleaseOnceAndKeepsEveryPublishedFile) {
    const SampleRelease first = signedRelease(sampleRelease("beta-1"));
    ASSERT_EQ(publish("beta-1", bundleOf(first)).exitStatus, 0);
    const auto inSite = [&](const std::string& url) { return site / url.substr(std::string("https://").size()); };
    for (const ReleaseFile& file : first.files()) {
        EXPECT_EQ(readFile(inSite(file.url)), first.contents.at(file.path));
        EXPECT_EQ(fs::status(inSite(file.url)).permissions() & fs::perms::others_read, fs::perms::others_read)
            << "a web server running as another user must be able to serve " << file.url;
    }
    EXPECT_THAT(publish("beta-1", bundleOf(first)).output, HasSubstr("0 files written, 12 already published"));

    SampleRelease changed = first;
    const ReleaseFile file = first.files().front();
    changed.contents.at(file.path) += "x";
    const ChildResult refused = publish("beta-1", bundleOf(signedRelease(changed)));
    EXPECT_EQ(refused.exitStatus, 1);
    EXPECT_THAT(refused.errors, HasSubstr("differs: " + file.path));
    EXPECT_EQ(readFile(inSite(file.url)), first.contents.at(file.path)) << "a refused publish replaced a file";

    ASSERT_EQ(publish("beta-2", bundleOf(signedRelease(sampleRelease("beta-2")))).exitStatus, 0);
    EXPECT_EQ(BootstrapPolicy::parse(readFile(inSite(BootstrapPolicy::manifestURL))).release, "beta-2");
    for (const ReleaseFile& published : first.files()) {
        EXPECT_TRUE(fs::exists(inSite(published.url))) << published.url << " vanished: launchers may still fetch it";
    }

    ASSERT_EQ(runChild({releaseTool, "keygen", "--out", (dir / "keys").string()}).exitStatus, 0);
    EXPECT_EQ(fs::status(dir / "keys/korvel-signing-private.pem").permissions(), fs::perms(0600));
}

// Each run as one line: its exit status, then what it wrote, on standard output when it
// succeeded, else on standard error. Help and version are answered with 0, a usage error with 2
// naming what was not expected, a refusal or failure (output lost to a full disk too) with 1; a
// refused publish leaves the site alone.
TEST_F(ReleaseTooling, CommandLinesFollowTheConventions) {
    const fs::path bundle = bundleOf(sampleRelease("beta-1")), unsignedBundle = bundleOf(sampleRelease("beta-1"));
    fs::remove(unsignedBundle / codeResourcesPath);
    const fs::path altered = signedBundle();
    writeFile(altered / "Contents/Resources/online.json", "{}\n");
    const std::string toFullDisk = "exec \"$0\" \"$@\" >/dev/full";
    const std::string publishRefused = "1 korvel-release publish: The ";
    const struct {
        std::vector<std::string> command;  // run in turn
        std::string outcome;               // how the run's line begins
    } rows[] = {
        {{releaseTool, "--help"}, "0 The release engineer's tool: "},
        {{releaseTool, "publish", "-h"}, "0 Publish a signed bundle and its manifest"},
        {{releaseTool, "--version"}, "0 " + versionLine("korvel-release") + "\n"},
        {{KORVEL_CODESIGN_BINARY, "--help"}, "0 usage: korvel-codesign --verify --deep --strict BUNDLE\n"},
        {{KORVEL_CODESIGN_BINARY, "--version"}, "0 " + versionLine("korvel-codesign") + "\n"},
        {{releaseTool, "sign", "--kee", "key.pem", "x"},
         "2 korvel-release sign: The following arguments were not expected: --kee x\n"},
        {{releaseTool, "unsign"}, "2 korvel-release: The following argument was not expected: unsign\n"},
        {{"sh", "-c", toFullDisk, releaseTool, "--help"}, "1 korvel-release: writing to standard output failed: "},
        {{"sh", "-c", toFullDisk, releaseTool, "manifest", "--release", "beta-1", signedBundle()},
         "1 korvel-release manifest: filesystem error: write: No space left on device [standard output]\n"},
        {{releaseTool, "sign", "--key=" + otherKey.string(), bundle},
         "0 Signed " + bundle.string() + ": 11 files, 0.0 MiB, with a key this build does not trust"},
        {{releaseTool, "sign", "--key", KORVEL_TEST_PRIVATE_KEY, bundle.parent_path()},
         "1 korvel-release sign: The bundle does not hold exactly the 12 files of a release.\n"},
        {publishing("beta-1", bundle), publishRefused + "signature does not match the listing, or was made with"},
        {publishing("beta-1", unsignedBundle), publishRefused + "bundle is not signed: "},
        {publishing("beta-1", altered),
         publishRefused + "bundle differs from its signed listing:\n  changed: Contents/Resources/online.json\n"},
        {publishing("beta-1", bundle, {"--public-key", otherPublicKey}),
         "0 Release beta-1: 12 files written, 0 already published.\n"},
    };
    for (const auto& row : rows) {
        fs::remove_all(site);
        const ChildResult run = runChild(row.command);
        EXPECT_THAT(std::to_string(run.exitStatus) + " " + (run.exitStatus == 0 ? run.output : run.errors),
                    StartsWith(row.outcome));
        EXPECT_EQ(run.exitStatus == 0 ? run.errors : run.output, "") << row.outcome;
        EXPECT_TRUE(run.exitStatus == 0 || !fs::exists(site)) << row.outcome << ": wrote into the site";
    }
}

} // namespace
} // namespace korvel::test
