#include <sys/stat.h>

#include <functional>

#include <gtest/gtest.h>

#include "installer/scope_exit.h"
#include "tests/support/expect_error.h"
#include "tests/support/installer_sandbox.h"
#include "tests/support/sample_release.h"

namespace korvel::testing {
namespace {

namespace fs = std::filesystem;
using Prepare = std::function<void(const fs::path&)>;

const std::string escapes = "Installation path escapes its directory.";
const std::string linked = "An installation path is a symbolic link; no files were changed.";
const std::string invalidMetadata = "Saved release metadata is invalid.";

fs::perms modeOf(const fs::path& path) { return fs::symlink_status(path).permissions(); }

Prepare link(std::string target, std::string at) {
    return [=](const fs::path& temp) { fs::create_symlink(temp / target, temp / at); };
}

TEST(NoSymlinks, ConfinesToTheRootAndRefusesLinksUpToIt) {
    const Prepare none = [](const fs::path&) {};
    const Prepare rootIsALink = [](const fs::path& temp) {
        fs::rename(temp / "Client", temp / "Real");
        link("Real", "Client")(temp);
    };
    const struct {
        const char* name;
        Prepare prepare;   // given the directory that holds the root "Client"
        const char* path;  // relative to that directory
        std::string message;
    } cases[] = {
        {"the root", none, "Client", ""},
        {"missing items below the root", none, "Client/.stage-1/a/b", ""},
        {"dot-dot staying inside", none, "Client/a/../b", ""},
        {"a sibling sharing the root's prefix", none, "ClientOld/file", escapes},
        {"dot-dot leaving the root", none, "Client/a/../../x", escapes},
        {"the root is a link", rootIsALink, "Client", linked},
        {"an intermediate link, final item missing", link(".", "Client/releases"), "Client/releases/r1/x", linked},
        {"the final item, a dangling link", link("nowhere", "Client/current.json"), "Client/current.json", linked},
        {"a link before a dot-dot segment", link("Client", "Client/a"), "Client/a/../x", linked},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InstallerSandbox sandbox;
        c.prepare(sandbox.temp.path());
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

TEST(Directory, CreatesMissingParentsOwnerOnlyWhateverTheUmask) {
    InstallerSandbox sandbox;
    const mode_t saved = ::umask(0277);
    const ScopeExit restore([saved] { ::umask(saved); });
    sandbox.access.directory(sandbox.root / "releases/r1/Contents");
    for (const char* created : {"releases", "releases/r1", "releases/r1/Contents"}) {
        EXPECT_EQ(modeOf(sandbox.root / created), fs::perms(0700)) << created;
    }
}

TEST(Directory, LeavesAnExistingDirectoryAlone) {
    InstallerSandbox sandbox;
    fs::permissions(sandbox.root, fs::perms(0750));
    sandbox.access.directory(sandbox.root);
    EXPECT_EQ(modeOf(sandbox.root), fs::perms(0750));
}

TEST(Directory, RefusesALinkedParentAndCreatesNothing) {
    InstallerSandbox sandbox;
    fs::create_directory(sandbox.temp / "elsewhere");
    link("elsewhere", "Client/releases")(sandbox.temp.path());
    EXPECT_TRUE(throwsBootstrapError([&] { sandbox.access.directory(sandbox.root / "releases/r1/a"); }, linked));
    EXPECT_TRUE(fs::is_empty(sandbox.temp / "elsewhere"));
}

TEST(BoundedData, ReadsOnlyRegularFilesUpTo131072Bytes) {
    const struct {
        const char* name;
        Prepare make;
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

TEST(BoundedData, AMissingFileIsThePlatformsNoSuchFileError) {
    InstallerSandbox sandbox;
    const fs::path missing = sandbox.root / "current.json";
    EXPECT_TRUE(throwsSystemError([&] { sandbox.access.boundedData(missing); }, ENOENT, missing));
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
    EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

} // namespace
} // namespace korvel::testing
