#include <sys/stat.h>

#include <functional>

#include <gtest/gtest.h>

#include "base/scope_exit.h"
#include "tests/support/expect_error.h"
#include "tests/support/installer_sandbox.h"
#include "tests/support/sample_release.h"

namespace korvel::testing {
namespace {

namespace fs = std::filesystem;

const std::string escapes = "Installation path escapes its directory.";
const std::string linked = "An installation path is a symbolic link; no files were changed.";
const std::string invalidMetadata = "Saved release metadata is invalid.";

fs::perms modeOf(const fs::path& path) { return fs::symlink_status(path).permissions(); }

TEST(NoSymlinks, ConfinesToTheRootAndRefusesLinksUpToIt) {
    const struct {
        const char* name;
        const char* path;  // relative to the directory that holds the root "Client"
        std::string message;
        const char* linkAt = nullptr;  // a symbolic link put in place first, and its target
        const char* linkTo = nullptr;
    } cases[] = {
        {"the root", "Client", ""},
        {"missing items below the root", "Client/.stage-1/a/b", ""},
        {"dot-dot staying inside", "Client/a/../b", ""},
        {"a sibling sharing the root's prefix", "ClientOld/file", escapes},
        {"dot-dot leaving the root", "Client/a/../../x", escapes},
        {"the root is a link", "Client", linked, "Client", "."},
        {"an intermediate link, final item missing", "Client/releases/r1/x", linked, "Client/releases", "."},
        {"the final item, a dangling link", "Client/current.json", linked, "Client/current.json", "nowhere"},
        {"a link before a dot-dot segment", "Client/a/../x", linked, "Client/a", "Client"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InstallerSandbox sandbox;
        if (c.linkAt) {
            fs::remove_all(sandbox.temp / c.linkAt);
            fs::create_symlink(sandbox.temp / c.linkTo, sandbox.temp / c.linkAt);
        }
        EXPECT_TRUE(throwsBootstrapError([&] { sandbox.access.noSymlinks(sandbox.temp / c.path); }, c.message));
    }
}

TEST(NoSymlinks, DoesNotExamineLinksAboveTheRoot) {
    TempDir temp;
    fs::create_directories(temp / "real/Client");
    fs::create_symlink(temp / "real", temp / "home");
    OnlineInstaller installer(temp / "home/Client", {}, {});
    EXPECT_NO_THROW(OnlineInstallerTestAccess(installer).noSymlinks(temp / "home/Client/current.json"));
}

TEST(Directory, CreatesMissingParentsOwnerOnlyWhateverTheUmaskAndLeavesExistingOnesAlone) {
    InstallerSandbox sandbox;
    fs::permissions(sandbox.root, fs::perms(0750));
    const mode_t saved = ::umask(0277);
    const ScopeExit restore([saved] { ::umask(saved); });
    sandbox.access.directory(sandbox.root / "releases/r1/Contents");
    EXPECT_EQ(modeOf(sandbox.root), fs::perms(0750)) << "an existing directory's mode changed";
    for (const char* created : {"releases", "releases/r1", "releases/r1/Contents"}) {
        EXPECT_EQ(modeOf(sandbox.root / created), fs::perms(0700)) << created;
    }
}

TEST(Directory, RefusesALinkedParentAndCreatesNothing) {
    InstallerSandbox sandbox;
    fs::create_directory(sandbox.temp / "elsewhere");
    fs::create_symlink(sandbox.temp / "elsewhere", sandbox.root / "releases");
    EXPECT_TRUE(throwsBootstrapError([&] { sandbox.access.directory(sandbox.root / "releases/r1/a"); }, linked));
    EXPECT_TRUE(fs::is_empty(sandbox.temp / "elsewhere"));
}

TEST(BoundedData, ReadsOnlyRegularFilesUpTo131072Bytes) {
    const struct {
        const char* name;
        std::function<void(const fs::path&)> make;
        std::string message;
    } cases[] = {
        {"131072 bytes", [](const fs::path& p) { writeFile(p, std::string(131072, 'x')); }, ""},
        {"131073 bytes", [](const fs::path& p) { writeFile(p, std::string(131073, 'x')); }, invalidMetadata},
        {"a directory", [](const fs::path& p) { fs::create_directory(p); }, invalidMetadata},
        {"a FIFO", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, invalidMetadata},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InstallerSandbox sandbox;
        const fs::path file = sandbox.root / "current.json";
        c.make(file);
        std::string read;
        EXPECT_TRUE(throwsBootstrapError([&] { read = sandbox.access.boundedData(file); }, c.message));
        EXPECT_EQ(read.size(), c.message.empty() ? 131072u : 0u);
    }
}

TEST(FileDigest, MatchesAOneShotLowercaseDigest) {
    TempDir temp;
    std::string large(3 * 1048576 + 17, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<char>(i * 7919 % 256);
    }
    for (const std::string& content : {std::string(), large}) {
        writeFile(temp / "file", content);
        EXPECT_EQ(fileDigest(temp / "file"), sha256Hex(content)) << content.size() << " bytes";
    }
}

} // namespace
} // namespace korvel::testing
