// korvel-codesign as the launcher runs it: a real process, judged by its exit status.

#include <functional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "policy/bootstrap_error.h"
#include "policy/bootstrap_policy.h"
#include "tests/servers/child_process.h"
#include "tests/support/sample_release.h"
#include "tests/support/temp_dir.h"
#include "transport/bundle_listing.h"
#include "tools/bundle_signature.h"

namespace korvel {
namespace {

namespace fs = std::filesystem;
using namespace testing;
using ::testing::HasSubstr;

const std::string testKey = KORVEL_TEST_PRIVATE_KEY;

ChildResult sign(const fs::path& bundle, const std::string& key) {
    return runChild({KORVEL_RELEASE_BINARY, "sign", "--key", key, bundle.string()});
}

class BundleSignature : public ::testing::Test {
protected:
    void SetUp() override {
        if (testKey.empty()) {
            GTEST_SKIP() << "this build has no test signing key (KORVEL_SIGNING_TEST_PRIVATE_KEY)";
        }
    }

    // A sample bundle signed with the test key, in a fresh directory whose name holds blanks.
    fs::path signedBundle() {
        const fs::path parent = dir / ("bundle " + std::to_string(++bundles));
        makeSampleRelease("beta-1").writeTo(parent, false);
        const ChildResult signing = sign(parent / BootstrapPolicy::app, testKey);
        EXPECT_EQ(signing.exitStatus, 0) << signing.errors;
        return parent / BootstrapPolicy::app;
    }

    static ChildResult verify(const fs::path& bundle) {
        return runChild({KORVEL_CODESIGN_BINARY, "--verify", "--deep", "--strict", bundle.string()});
    }

    TempDir dir;
    int bundles = 0;
};

TEST_F(BundleSignature, SignedBundlePassesSilently) {
    const ChildResult result = verify(signedBundle());
    EXPECT_EQ(result.exitStatus, 0) << result.errors;
    EXPECT_EQ(result.output + result.errors, "");
}

TEST_F(BundleSignature, BuildWithoutAKeyRefusesEvenASignedBundle) {
    EXPECT_THROW(verifyBundle(signedBundle(), ""), BootstrapError) << "a build that was given no key must trust nothing";
}

TEST_F(BundleSignature, EveryAlterationAfterSigningIsRefused) {
    const fs::path otherKey = dir / "other-private.pem";
    writeFile(otherKey, generateSigningKeyPair().privatePem);
    // Replaces the byte at `at` with a different digit: same size, and a listing keeps its form.
    const auto changeDigit = [](const fs::path& file, std::size_t at) {
        std::string bytes = readFile(file);
        bytes[at] = bytes[at] == '0' ? '1' : '0';
        writeFile(file, bytes);
    };
    const auto resources = [](const fs::path& bundle) { return bundle / codeResourcesPath; };
    const struct {
        const char* what;
        std::function<void(const fs::path& bundle)> alter;
        const char* reason;
    } cases[] = {
        {"one byte changed, same size", [&](auto& b) { changeDigit(b / "Contents/Resources/online.json", 0); },
         "changed: Contents/Resources/online.json"},
        {"a file added", [](auto& b) { writeFile(b / "Contents/Resources/extra.txt", "x"); },
         "unlisted: Contents/Resources/extra.txt"},
        {"a file added beside CodeResources", [](auto& b) { writeFile(b / "Contents/_CodeSignature/x", "x"); },
         "unlisted: Contents/_CodeSignature/x"},
        {"a file removed", [](auto& b) { fs::remove(b / "Contents/PkgInfo"); }, "missing: Contents/PkgInfo"},
        {"executable mark added", [](auto& b) { fs::permissions(b / "Contents/Info.plist", fs::perms(0744)); },
         "executable mark changed: Contents/Info.plist"},
        {"executable mark removed",
         [](auto& b) { fs::permissions(b / "Contents/MacOS/KorvelEngine", fs::perms(0644)); },
         "executable mark changed: Contents/MacOS/KorvelEngine"},
        {"a file replaced by a link to the same bytes",
         [](auto& b) {
             fs::rename(b / "Contents/PkgInfo", b.parent_path() / "PkgInfo");
             fs::create_symlink(b.parent_path() / "PkgInfo", b / "Contents/PkgInfo");
         },
         "symbolic links"},
        {"signed by another key", [&](auto& b) { ASSERT_EQ(sign(b, otherKey.string()).exitStatus, 0); },
         "another key"},
        {"listing edited after signing",
         [&](auto& b) { changeDigit(resources(b), readFile(resources(b)).find('\n') + 1); }, "another key"},
        {"CodeResources truncated",
         [&](auto& b) { fs::resize_file(resources(b), fs::file_size(resources(b)) / 2); }, "signature line"},
        {"CodeResources without its last byte",
         [&](auto& b) { fs::resize_file(resources(b), fs::file_size(resources(b)) - 1); }, "signature line"},
        {"CodeResources removed", [&](auto& b) { fs::remove(resources(b)); }, "not signed"},
        {"CodeResources holding only a signature line",
         [&](auto& b) {
             const std::string bytes = readFile(resources(b));
             writeFile(resources(b), bytes.substr(bytes.rfind('\n', bytes.size() - 2) + 1));
         },
         "another key"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path bundle = signedBundle();
        c.alter(bundle);
        const ChildResult result = verify(bundle);
        EXPECT_EQ(result.exitStatus, 1) << result.errors;
        EXPECT_THAT(result.errors, HasSubstr(c.reason));
    }
}

TEST_F(BundleSignature, AnyOtherCommandLineIsAUsageError) {
    const std::string bundle = signedBundle().string();
    const std::vector<std::vector<std::string>> commandLines = {
        {KORVEL_CODESIGN_BINARY},
        {KORVEL_CODESIGN_BINARY, "--verify", "--deep", bundle},
        {KORVEL_CODESIGN_BINARY, "--verify", "--deep", "--strict"},
        {KORVEL_CODESIGN_BINARY, "--deep", "--verify", "--strict", bundle},
        {KORVEL_CODESIGN_BINARY, "--verify", "--deep", "--strict", bundle, bundle},
        {KORVEL_CODESIGN_BINARY, "--verify", "--deep", "--strict=1", bundle},
    };
    for (const auto& argv : commandLines) {
        SCOPED_TRACE(::testing::PrintToString(argv));
        const ChildResult result = runChild(argv);
        EXPECT_EQ(result.exitStatus, 2) << result.errors;
        EXPECT_THAT(result.errors, HasSubstr("usage: korvel-codesign --verify --deep --strict BUNDLE"));
    }
}

} // namespace
} // namespace korvel
