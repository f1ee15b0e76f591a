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

namespace korvel::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

const std::string releaseTool = KORVEL_RELEASE_BINARY;

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

    ChildResult publish(const std::string& name, const fs::path& bundle) {
        return runChild({releaseTool, "publish", "--release", name, "--bundle", bundle, "--out", site});
    }

    TempDir dir;
    fs::path site = dir / "site";
    int bundles = 0;
};

TEST_F(ReleaseTooling, CodesignPassesOnlyTheBundleAsSigned) {
    const fs::path otherKey = dir / "other-private.pem";
    writeFile(otherKey, generateSigningKeyPair().privatePem);
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
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.reason);
        const fs::path bundle = signedBundle();
        row.alter(bundle);
        const ChildResult verdict =
            runChild({KORVEL_CODESIGN_BINARY, "--verify", "--deep", "--strict", bundle.string()});
        EXPECT_EQ(verdict.exitStatus, row.reason.empty() ? 0 : 1) << verdict.errors;
        EXPECT_THAT(verdict.errors, HasSubstr(row.reason));
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

} // namespace
} // namespace korvel::test
