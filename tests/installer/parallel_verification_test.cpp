// Verification hashes the release files on several threads, largest first. Whatever the
// threads finish first, the error must be the one a file-by-file pass in manifest order meets
// first.

#include <cerrno>
#include <functional>
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

const std::string failedMessage = "A downloaded or installed game file failed verification.";

// Several MiB, so that the pack is the first file taken and still being hashed while the
// small files that precede it in the manifest are done.
constexpr std::size_t packBytes = 8 << 20;

void changeOneByte(const fs::path& file) {
    std::string bytes = readFile(file);
    bytes[bytes.size() / 2] ^= 1;
    writeFile(file, bytes);
}

TEST(ParallelVerification, ReportsTheFirstFailureInManifestOrder) {
    const struct {
        const char* name;
        std::function<void(const fs::path& contents)> breakFiles;
        std::string message;  // the BootstrapError expected, or "" for ENOENT on missingFile
        std::string missingFile;
    } cases[] = {
        {"a small mismatch before a missing file",
         [](const fs::path& c) {
             changeOneByte(c / "Info.plist");
             fs::remove(c / "Resources/THIRD_PARTY_LICENSES.md");
         },
         failedMessage, ""},
        {"a missing file before a mismatch of the pack",
         [](const fs::path& c) {
             fs::remove(c / "PkgInfo");
             changeOneByte(c / "Resources/Korvel_Online.pck");
         },
         "", "PkgInfo"},
        {"a mismatch of the pack before a missing file",
         [](const fs::path& c) {
             changeOneByte(c / "Resources/Korvel_Online.pck");
             fs::remove(c / "Resources/PrivacyInfo.xcprivacy");
         },
         failedMessage, ""},
        {"a missing execute bit before a missing file",
         [](const fs::path& c) {
             fs::permissions(c / "MacOS/KorvelOnlineLauncher", fs::perms(0644));
             fs::remove(c / "Resources/Korvel_Online.pck");
         },
         failedMessage, ""},
        {"the earlier of two missing files",
         [](const fs::path& c) {
             fs::remove(c / "Resources/AUDIO_LICENSES.json");
             fs::remove(c / "Resources/online.json");
         },
         "", "Resources/AUDIO_LICENSES.json"},
        {"a mismatch in the last file after an intact pack",
         [](const fs::path& c) { changeOneByte(c / "_CodeSignature/CodeResources"); }, failedMessage, ""},
    };
    const SampleRelease release = makeSampleRelease("r1", packBytes);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InstallerSandbox sandbox;
        const fs::path dir = sandbox.root / "releases/r1";
        const fs::path contents = dir / BootstrapPolicy::app / "Contents";
        release.writeTo(dir);
        c.breakFiles(contents);
        const auto verify = [&] { sandbox.access.verify(dir, release.manifest()); };
        if (c.message.empty()) {
            EXPECT_TRUE(throwsSystemError(verify, ENOENT, contents / c.missingFile));
        } else {
            EXPECT_TRUE(throwsBootstrapError(verify, c.message));
        }
        EXPECT_TRUE(sandbox.signedApps.empty()) << "the signature was checked";
    }
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
        {"all intact", {intactSmall, intactLarge, intactSmall}, {Outcome::matched, Outcome::matched, Outcome::matched}},
        {"a mismatch before a vanished file", {intactSmall, changedSmall, vanished, intactLarge},
         {Outcome::matched, Outcome::mismatched}},
        {"a vanished file before a mismatch", {vanished, intactLarge, changedSmall}, {Outcome::failed}},
        {"a mismatch after the large file", {intactLarge, intactSmall, changedSmall, vanished},
         {Outcome::matched, Outcome::matched, Outcome::mismatched}},
        {"nothing to check", {}, {}},
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
