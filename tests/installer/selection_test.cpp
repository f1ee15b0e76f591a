#include <functional>

#include <gtest/gtest.h>

#include "policy/bootstrap_policy.h"
#include "tests/support/expect_error.h"
#include "tests/support/installer_sandbox.h"
#include "tests/support/sample_release.h"

namespace korvel::testing {
namespace {

namespace fs = std::filesystem;

// A root holding the intact release r1, not selected yet.
struct InstalledRoot {
    InstalledRoot() { makeSampleRelease("r1").writeTo(releaseDir); }
    void select(const std::string& name, int schema = 1) const {
        writeFile(record, "{\"schema\": " + std::to_string(schema) + ", \"release\": \"" + name + "\"}");
    }

    InstallerSandbox sandbox;
    fs::path record = sandbox.root / "current.json";
    fs::path releaseDir = sandbox.root / "releases/r1";
};

TEST(Selection, CommitWritesAPrivateRecordThatPreviousFollows) {
    InstalledRoot installed;
    installed.sandbox.access.commit("r0");
    installed.sandbox.access.commit("r1");
    EXPECT_EQ(fs::status(installed.record).permissions(), fs::perms(0600));
    const CurrentRelease saved = decodeJson<CurrentRelease>(readFile(installed.record));
    EXPECT_EQ(saved.schema, 1);
    EXPECT_EQ(saved.release, "r1");
    EXPECT_EQ(installed.sandbox.access.previous(), installed.releaseDir / BootstrapPolicy::entrypoint);
    EXPECT_EQ(std::distance(fs::directory_iterator(installed.sandbox.root), fs::directory_iterator()), 2)
        << "only current.json and releases may remain";
}

TEST(Selection, CommitRefusesALinkedRecordAndLeavesItsTargetAlone) {
    InstalledRoot installed;
    writeFile(installed.sandbox.temp / "outside", "theirs");
    fs::create_symlink(installed.sandbox.temp / "outside", installed.record);
    EXPECT_TRUE(throwsBootstrapError([&] { installed.sandbox.access.commit("r1"); },
                                     "An installation path is a symbolic link; no files were changed."));
    EXPECT_EQ(readFile(installed.sandbox.temp / "outside"), "theirs");
}

TEST(Selection, PreviousRefusesWhatNoLongerHolds) {
    const std::string invalid = "Saved release selection is invalid.";
    const struct {
        const char* name;
        std::function<void(const InstalledRoot&)> change;
        std::string message;
    } cases[] = {
        {"schema 2", [](auto& i) { i.select("r1", 2); }, invalid},
        {"a slash in the name", [](auto& i) { i.select("releases/r1"); }, invalid},
        {"an oversized record that is no JSON", [](auto& i) { writeFile(i.record, std::string(131073, '!')); },
         "Saved release metadata is invalid."},
        {"another release's saved manifest",
         [](auto& i) {
             i.select("r1");
             writeFile(i.releaseDir / "installed-manifest.json", makeSampleRelease("r2").manifestJson());
         },
         "Saved release identity differs."},
        {"a changed installed byte",
         [](auto& i) {
             i.select("r1");
             writeFile(i.releaseDir / BootstrapPolicy::app / "Contents/PkgInfo", "changed");
         },
         "A downloaded or installed game file failed verification."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InstalledRoot installed;
        c.change(installed);
        EXPECT_TRUE(throwsBootstrapError([&] { installed.sandbox.access.previous(); }, c.message));
        EXPECT_TRUE(installed.sandbox.signedApps.empty()) << "the signature check ran anyway";
    }
}

// What previous cannot read reaches the caller as the decoder's or the file system's own error.
TEST(Selection, PreviousPassesOnPlatformAndDecodingErrors) {
    InstalledRoot installed;
    const auto previous = [&] { installed.sandbox.access.previous(); };
    EXPECT_TRUE(throwsSystemError(previous, ENOENT, installed.record));
    writeFile(installed.record, "not JSON");
    EXPECT_THROW(previous(), DecodingError);
    installed.select("r1");
    fs::remove(installed.releaseDir / "installed-manifest.json");
    EXPECT_TRUE(throwsSystemError(previous, ENOENT, installed.releaseDir / "installed-manifest.json"));
}

} // namespace
} // namespace korvel::testing
