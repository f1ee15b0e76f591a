#include <cerrno>
#include <utility>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "installer/parallel_digest.h"
#include "policy/bootstrap_policy.h"
#include "tests/support/expect_error.h"
#include "tests/support/installer_sandbox.h"
#include "tests/support/sample_release.h"

namespace korvel::testing {
namespace {

namespace fs = std::filesystem;

const std::string failed = "A downloaded or installed game file failed verification.";

// Several MiB, so that verification, which hashes on several threads largest first, is still
// hashing the pack when the small files listed before it are done.
constexpr std::size_t packBytes = 8 << 20;

using Change = void (*)(const fs::path&);
void flipByte(const fs::path& file) {
    std::string bytes = readFile(file);
    bytes[bytes.size() / 2] ^= 1;
    writeFile(file, bytes);
}
void addByte(const fs::path& file) { writeFile(file, readFile(file) + "x"); }
void addFile(const fs::path& file) { writeFile(file, "{}"); }
void addDirectory(const fs::path& dir) { fs::create_directories(dir); }
void addLink(const fs::path& link) { fs::create_symlink("MacOS/KorvelEngine", link); }
void removeItem(const fs::path& item) { fs::remove_all(item); }
void toggleExecute(const fs::path& file) { fs::permissions(file, fs::status(file).permissions() ^ fs::perms(0111)); }
void replaceWithDirectory(const fs::path& file) {
    fs::remove(file);
    fs::create_directory(file);
}

// Whatever the hashing threads finish first, the error is the one a file-by-file pass in
// manifest order meets first, and the signature is never checked after one.
TEST(Verification, RefusesEachDeviationWithTheFirstErrorInManifestOrder) {
    const std::string unexpected = "An installed release contains an unexpected file: ";
    const std::string c = BootstrapPolicy::app + "/Contents/";  // where the release files are
    const std::string pack = c + "Resources/Korvel_Online.pck";
    const struct {
        const char* name;
        std::vector<std::pair<Change, std::string>> changes;  // each to a path relative to the release
        std::string message;  // "" when the tree is still accepted, or when missing names a file
        std::string missing = {};  // the file whose no-such-file error is expected
    } cases[] = {
        {"nothing changed", {}, ""},
        {"an empty directory", {{addDirectory, c + "Frameworks/Empty"}}, ""},
        {"any saved manifest at the top", {{addByte, "installed-manifest.json"}}, ""},
        {"an unmarked executable", {{toggleExecute, c + "PkgInfo"}}, ""},
        {"a file at the top", {{addFile, "notes.txt"}}, unexpected + "notes.txt"},
        {"a file deep", {{addFile, c + "Resources/extra.bin"}}, unexpected + c + "Resources/extra.bin"},
        {"a saved manifest deeper", {{addFile, c + "installed-manifest.json"}},
         unexpected + c + "installed-manifest.json"},
        {"a link to a release file", {{addLink, c + "alias"}},
         "An installation path is a symbolic link; no files were changed."},
        {"one changed byte", {{flipByte, c + "PkgInfo"}}, failed},
        {"one byte more", {{addByte, c + "PkgInfo"}}, failed},
        {"no execute bit", {{toggleExecute, c + "MacOS/KorvelEngine"}}, failed},
        {"a directory for a file", {{replaceWithDirectory, c + "PkgInfo"}}, failed},
        {"no directory at all", {{removeItem, ""}}, "Cannot inspect the installed game directory."},
        {"the first file missing", {{removeItem, c + "Info.plist"}}, "", c + "Info.plist"},
        {"a small mismatch before a missing file",
         {{flipByte, c + "Info.plist"}, {removeItem, c + "Resources/THIRD_PARTY_LICENSES.md"}}, failed},
        {"a missing file before a mismatch of the pack", {{removeItem, c + "PkgInfo"}, {flipByte, pack}}, "",
         c + "PkgInfo"},
        {"a mismatch of the pack before a missing file",
         {{flipByte, pack}, {removeItem, c + "Resources/PrivacyInfo.xcprivacy"}}, failed},
        {"a missing execute bit before a missing file",
         {{toggleExecute, c + "MacOS/KorvelOnlineLauncher"}, {removeItem, pack}}, failed},
        {"the earlier of two missing files",
         {{removeItem, c + "Resources/AUDIO_LICENSES.json"}, {removeItem, c + "Resources/online.json"}}, "",
         c + "Resources/AUDIO_LICENSES.json"},
        {"a mismatch in the last file after an intact pack", {{flipByte, c + "_CodeSignature/CodeResources"}}, failed},
    };
    const SampleRelease release = makeSampleRelease("r1", packBytes);
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        InstallerSandbox sandbox;
        const fs::path dir = sandbox.root / "releases/r1";
        release.writeTo(dir);
        for (const auto& [change, path] : row.changes) {
            change(path.empty() ? dir : dir / path);
        }
        const auto verify = [&] { sandbox.access.verify(dir, release.manifest()); };
        if (row.missing.empty()) {
            EXPECT_TRUE(throwsBootstrapError(verify, row.message));
        } else {
            EXPECT_TRUE(throwsSystemError(verify, ENOENT, dir / row.missing));
        }
        const bool accepted = row.message.empty() && row.missing.empty();
        EXPECT_EQ(sandbox.signedApps, accepted ? std::vector{dir / BootstrapPolicy::app} : std::vector<fs::path>{});
    }
}

TEST(Verification, AFailingSignatureCheckPassesItsOwnError) {
    struct Unsigned {};
    InstallerSandbox sandbox;
    const SampleRelease release = makeSampleRelease("r1");
    release.writeTo(sandbox.root / "r1");
    sandbox.signatureCheck = [](const fs::path&) { throw Unsigned{}; };
    EXPECT_THROW(sandbox.access.verify(sandbox.root / "r1", release.manifest()), Unsigned);
}

// Only the digest stage can fail when a file vanishes after its size was checked: a platform
// error of a later file must neither hide an earlier mismatch nor lose its own type.
TEST(ParallelVerification, KeepsEveryVerdictBeforeTheFirstFailureAndItsErrorUnchanged) {
    TempDir temp;
    const std::string large(packBytes, 'p');
    writeFile(temp / "large", large);
    writeFile(temp / "small", "small");
    const DigestCheck intactLarge{temp / "large", packBytes, sha256Hex(large)};
    const DigestCheck intactSmall{temp / "small", 5, sha256Hex("small")};
    const DigestCheck changedSmall{temp / "small", 5, sha256Hex("smalL")};
    const DigestCheck vanished{temp / "vanished", 5, sha256Hex("small")};
    using Outcome = DigestVerdict::Outcome;
    const struct {
        const char* name;
        std::vector<DigestCheck> checks;
        std::vector<Outcome> leading;  // the verdicts up to and including the first failure
    } cases[] = {
        {"a mismatch before a vanished file", {intactSmall, changedSmall, vanished, intactLarge},
         {Outcome::matched, Outcome::mismatched}},
        {"a vanished file before a mismatch", {vanished, intactLarge, changedSmall}, {Outcome::failed}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<DigestVerdict> verdicts = checkDigests(c.checks);
        ASSERT_EQ(verdicts.size(), c.checks.size());
        for (std::size_t i = 0; i < c.leading.size(); ++i) {
            EXPECT_EQ(verdicts[i].outcome, c.leading[i]) << "verdict " << i;
            if (c.leading[i] == Outcome::failed) {
                EXPECT_TRUE(throwsSystemError([&] { std::rethrow_exception(verdicts[i].error); }, ENOENT,
                                              c.checks[i].path));
            } else {
                EXPECT_FALSE(verdicts[i].error) << "verdict " << i;
            }
        }
    }
}

} // namespace
} // namespace korvel::testing
