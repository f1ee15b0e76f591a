#include <functional>

#include <gtest/gtest.h>

#include "policy/bootstrap_policy.h"
#include "tests/support/expect_error.h"
#include "tests/support/installer_sandbox.h"
#include "tests/support/sample_release.h"

namespace korvel::testing {
namespace {

namespace fs = std::filesystem;

// The intact release r1 under the sandbox's root.
struct InstalledRelease {
    InstalledRelease() { release.writeTo(dir); }
    void verify() const { sandbox.access.verify(dir, release.manifest()); }

    InstallerSandbox sandbox;
    SampleRelease release = makeSampleRelease("r1");
    fs::path dir = sandbox.root / "releases/r1";
    fs::path contents = dir / BootstrapPolicy::app / "Contents";
};

void flipFirstByte(const fs::path& file) {
    std::string bytes = readFile(file);
    bytes[0] ^= 1;
    writeFile(file, bytes);
}

void replaceWithDirectory(const fs::path& file) {
    fs::remove(file);
    fs::create_directory(file);
}

TEST(Verification, AGoodTreePassesAndHasItsBundleSignatureChecked) {
    InstalledRelease r;
    r.verify();
    EXPECT_EQ(r.sandbox.signedApps, std::vector<fs::path>{r.dir / BootstrapPolicy::app});
}

TEST(Verification, EachDeviationIsRefusedBeforeTheSignatureCheck) {
    const std::string failed = "A downloaded or installed game file failed verification.";
    const std::string unexpected = "An installed release contains an unexpected file: ";
    const std::string contents = BootstrapPolicy::app + "/Contents/";
    const struct {
        const char* name;
        std::function<void(const InstalledRelease&)> change;
        std::string message;  // "" when the tree is still accepted
    } cases[] = {
        {"an empty directory", [](auto& r) { fs::create_directories(r.contents / "Frameworks/Empty"); }, ""},
        {"any saved manifest at the top", [](auto& r) { writeFile(r.dir / "installed-manifest.json", "?"); }, ""},
        {"an unmarked executable", [](auto& r) { fs::permissions(r.contents / "PkgInfo", fs::perms(0755)); }, ""},
        {"a file at the top", [](auto& r) { writeFile(r.dir / "notes.txt", ""); }, unexpected + "notes.txt"},
        {"a file deep", [](auto& r) { writeFile(r.contents / "Resources/extra.bin", ""); },
         unexpected + contents + "Resources/extra.bin"},
        {"a saved manifest deeper", [](auto& r) { writeFile(r.contents / "installed-manifest.json", "{}"); },
         unexpected + contents + "installed-manifest.json"},
        {"a link to a release file", [](auto& r) { fs::create_symlink("MacOS/KorvelEngine", r.contents / "alias"); },
         "An installation path is a symbolic link; no files were changed."},
        {"one changed byte", [](auto& r) { flipFirstByte(r.contents / "PkgInfo"); }, failed},
        {"one byte more", [](auto& r) { writeFile(r.contents / "PkgInfo", readFile(r.contents / "PkgInfo") + "x"); },
         failed},
        {"no execute bit", [](auto& r) { fs::permissions(r.contents / "MacOS/KorvelEngine", fs::perms(0644)); },
         failed},
        {"a directory for a file", [](auto& r) { replaceWithDirectory(r.contents / "PkgInfo"); }, failed},
        {"no directory at all", [](auto& r) { fs::remove_all(r.dir); }, "Cannot inspect the installed game directory."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InstalledRelease r;
        c.change(r);
        EXPECT_TRUE(throwsBootstrapError([&] { r.verify(); }, c.message));
        EXPECT_EQ(r.sandbox.signedApps.size(), c.message.empty() ? 1u : 0u) << "signature checks";
    }
}

TEST(Verification, AMissingFileIsThePlatformsNoSuchFileError) {
    InstalledRelease r;
    fs::remove(r.contents / "MacOS/KorvelEngine");
    EXPECT_TRUE(throwsSystemError([&] { r.verify(); }, ENOENT, r.contents / "MacOS/KorvelEngine"));
}

TEST(Verification, AFailingSignatureCheckPassesItsOwnError) {
    struct Unsigned {};
    InstalledRelease r;
    r.sandbox.signatureCheck = [](const fs::path&) { throw Unsigned{}; };
    EXPECT_THROW(r.verify(), Unsigned);
}

} // namespace
} // namespace korvel::testing
