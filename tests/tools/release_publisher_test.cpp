// korvel-release manifest and publish, run as the release engineer runs them.

#include <map>

#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "policy/bootstrap_policy.h"
#include "tests/servers/child_process.h"
#include "tests/support/sample_release.h"
#include "tests/support/temp_dir.h"
#include "transport/bundle_listing.h"

namespace korvel {
namespace {

namespace fs = std::filesystem;
using namespace testing;
using ::testing::HasSubstr;

// Where a URL of the policy lies in a published site tree.
fs::path inSite(const fs::path& site, const std::string& url) { return site / url.substr(std::string("https://").size()); }

// Every file of a tree with its bytes, to show that a refused publish changed nothing.
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) {
            files[entry.path().lexically_relative(root).string()] = readFile(entry.path());
        }
    }
    return files;
}

class ReleaseTool : public ::testing::Test {
protected:
    // The release's bundle, written into a fresh directory on every call.
    fs::path bundleOf(const SampleRelease& release) {
        const fs::path parent = dir / ("bundle " + std::to_string(++bundles));
        release.writeTo(parent, false);
        return parent / BootstrapPolicy::app;
    }

    static void sign(const fs::path& bundle) {
        runToSuccess({KORVEL_RELEASE_BINARY, "sign", "--key", KORVEL_TEST_PRIVATE_KEY, bundle.string()});
    }

    // The sample release with the test key's signature as its CodeResources.
    SampleRelease signedRelease(const std::string& name) {
        SampleRelease release = makeSampleRelease(name);
        const fs::path bundle = bundleOf(release);
        sign(bundle);
        release.contents[BootstrapPolicy::app + "/" + std::string(codeResourcesPath)] = readFile(bundle / codeResourcesPath);
        return release;
    }

    ChildResult manifest(const std::string& name, const fs::path& bundle) {
        return runChild({KORVEL_RELEASE_BINARY, "manifest", "--release", name, bundle.string()});
    }

    ChildResult publish(const std::string& name, const fs::path& bundle) {
        return runChild({KORVEL_RELEASE_BINARY, "publish", "--release", name, "--bundle", bundle.string(), "--out",
                         site.string()});
    }

    TempDir dir;
    fs::path site = dir / "site";
    int bundles = 0;
};

TEST_F(ReleaseTool, ManifestIsAcceptedAndDescribesTheBundle) {
    const SampleRelease release = signedRelease("beta-7_rc.2");
    const ChildResult result = manifest(release.name, bundleOf(release));
    ASSERT_EQ(result.exitStatus, 0) << result.errors;
    const ReleaseManifest parsed = BootstrapPolicy::parse(result.output);
    EXPECT_EQ(parsed.release, release.name);
    EXPECT_EQ(parsed.platforms.at("mac").entrypoint, BootstrapPolicy::entrypoint);
    EXPECT_EQ(parsed.platforms.at("mac").files, release.files()) << "paths, URLs, sizes, digests and marks";
}

TEST_F(ReleaseTool, ManifestRefusesBundlesTheLauncherWouldNotInstall) {
    const fs::path icon = "Contents/Resources/icon.icns";
    const struct {
        const char* what;
        std::string name;
        std::function<void(const fs::path& bundle)> alter;
        std::vector<std::string> named;
    } cases[] = {
        {"invalid release name", "beta.", [](auto&) {}, {"Not a valid release name: \"beta.\""}},
        {"a file missing and one unexpected", "beta-1",
         [](auto& b) { fs::remove(b / "Contents/PkgInfo"); writeFile(b / "Contents/Resources/notes.txt", "x"); },
         {"missing: Korvel_Online_Beta.app/Contents/PkgInfo",
          "unexpected: Korvel_Online_Beta.app/Contents/Resources/notes.txt"}},
        {"a symbolic link", "beta-1", [&](auto& b) { fs::remove(b / icon); fs::create_symlink("online.json", b / icon); },
         {"symbolic links", icon.string()}},
        {"a named pipe", "beta-1", [&](auto& b) { fs::remove(b / icon); ::mkfifo((b / icon).c_str(), 0644); },
         {"not regular files", icon.string()}},
        {"an executable without its execute permission", "beta-1",
         [](auto& b) { fs::permissions(b / "Contents/MacOS/KorvelEngine", fs::perms(0644)); },
         {"Contents/MacOS/KorvelEngine (must be executable)"}},
        {"a data file with execute permission", "beta-1",
         [](auto& b) { fs::permissions(b / "Contents/PkgInfo", fs::perms(0755)); },
         {"Contents/PkgInfo (must not be executable)"}},
        {"an empty file", "beta-1", [](auto& b) { writeFile(b / "Contents/PkgInfo", ""); }, {"empty: Contents/PkgInfo"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path bundle = bundleOf(makeSampleRelease(c.name));
        c.alter(bundle);
        const ChildResult result = manifest(c.name, bundle);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(result.output, "") << "nothing printed for a refused bundle";
        for (const auto& text : c.named) {
            EXPECT_THAT(result.errors, HasSubstr(text));
        }
    }
}

TEST_F(ReleaseTool, PublishLaysOutTheSiteAsTheLauncherRequestsIt) {
    const SampleRelease release = signedRelease("beta-1");
    const fs::path bundle = bundleOf(release);
    const ChildResult result = publish(release.name, bundle);
    ASSERT_EQ(result.exitStatus, 0) << result.errors;
    EXPECT_EQ(readFile(inSite(site, BootstrapPolicy::manifestURL)), manifest(release.name, bundle).output);
    for (const auto& file : release.files()) {
        SCOPED_TRACE(file.path);
        const fs::path published = inSite(site, file.url);
        EXPECT_EQ(readFile(published), release.contents.at(file.path));
        EXPECT_EQ(fs::status(published).permissions() & fs::perms::others_read, fs::perms::others_read)
            << "a web server running as another user must be able to serve it";
    }
}

TEST_F(ReleaseTool, IdenticalRepublishIsAccepted) {
    const SampleRelease release = signedRelease("beta-1");
    ASSERT_EQ(publish(release.name, bundleOf(release)).exitStatus, 0);
    const ChildResult again = publish(release.name, bundleOf(release));
    EXPECT_EQ(again.exitStatus, 0) << again.errors;
    EXPECT_THAT(again.output, HasSubstr("0 files written, 12 already published"));
}

TEST_F(ReleaseTool, PublishedReleaseNameIsImmutable) {
    const SampleRelease first = signedRelease("beta-1");
    ASSERT_EQ(publish(first.name, bundleOf(first)).exitStatus, 0);
    const fs::path releaseDir = inSite(site, BootstrapPolicy::downloadBase + first.name);
    const struct {
        const char* what;
        std::function<void(const fs::path& bundle)> alter;
        std::string named;
    } cases[] = {
        {"a file with other bytes",
         [](auto& b) { writeFile(b / "Contents/Resources/online.json", "{\"other\": true}\n"); sign(b); },
         "differs: Korvel_Online_Beta.app/Contents/Resources/online.json"},
        {"an extra file already on the site", [&](auto&) { writeFile(releaseDir / "mac/stray.txt", "x"); },
         "unexpected: mac/stray.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path bundle = bundleOf(first);
        c.alter(bundle);
        const auto before = snapshot(site);
        const ChildResult result = publish(first.name, bundle);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_THAT(result.errors, HasSubstr(c.named));
        EXPECT_THAT(result.errors, HasSubstr("Nothing was changed."));
        EXPECT_EQ(snapshot(site), before) << "a refused publish must leave the site as it was";
        fs::remove(releaseDir / "mac/stray.txt");
    }
}

TEST_F(ReleaseTool, NewReleaseReplacesTheManifestAndKeepsTheOldFiles) {
    const SampleRelease first = signedRelease("beta-1");
    const SampleRelease second = signedRelease("beta-2");
    ASSERT_EQ(publish(first.name, bundleOf(first)).exitStatus, 0);
    ASSERT_EQ(publish(second.name, bundleOf(second)).exitStatus, 0);
    EXPECT_EQ(BootstrapPolicy::parse(readFile(inSite(site, BootstrapPolicy::manifestURL))).release, second.name);
    for (const auto& file : first.files()) {
        EXPECT_TRUE(fs::exists(inSite(site, file.url))) << file.url << " vanished: launchers mid-download need it";
    }
}

} // namespace
} // namespace korvel
