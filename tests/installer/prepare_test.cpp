#include <cerrno>
#include <exception>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "policy/bootstrap_policy.h"
#include "tests/installer/stub_operations.h"
#include "tests/servers/child_process.h"
#include "tests/support/expect_error.h"

namespace korvel::testing {
namespace {

namespace fs = std::filesystem;

TEST(Fallback, StartsTheEarlierReleaseUnchangedWhenTheUpdateFails) {
    const SampleRelease next = makeSampleRelease("r1");
    std::string refusedManifest = next.manifestJson();
    refusedManifest.replace(refusedManifest.find("\"schema\": 1"), 11, "\"schema\": 2");
    const struct {
        const char* name;
        std::function<void(InstallRoot&)> breakUpdate;
        bool reachesFiles;  // whether progress reports come between the two of prepare
    } cases[] = {
        {"no network", [](InstallRoot&) {}, false},
        {"a download error of no standard type",
         [](InstallRoot& run) { run.network.onRequest = [](const fs::path&) { throw 42; }; }, false},
        {"a refused manifest", [&](InstallRoot& run) { run.network.publish(next, refusedManifest); }, false},
        {"a file with one wrong byte",
         [&](InstallRoot& run) {
             run.network.publish(next);
             run.network.bodies.at(next.files().front().url)[0] ^= 1;
         },
         true},
        {"a failing signature check",
         [&](InstallRoot& run) {
             run.network.publish(next);
             run.refusesSignature = [](const fs::path& app) {
                 return app.parent_path().filename().string().starts_with(".stage-");
             };
         },
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InstallRoot run;
        run.installEarlier(makeSampleRelease("r0"));
        const std::string record = readFile(run.root / "current.json");
        c.breakUpdate(run);

        const PreparedClient client = run.prepare();

        EXPECT_EQ(client.executable, run.entrypoint("r0"));
        EXPECT_TRUE(client.usedPrevious);
        ASSERT_GE(run.reports.size(), 2u);
        EXPECT_EQ(run.reports.front(), checkingForUpdates);
        EXPECT_EQ(run.reports.back(), StatusReport("Update unavailable. Starting the verified installed game…", 1.0));
        EXPECT_EQ(run.reports.size() > 2, c.reachesFiles) << "unexpected reports between check and fallback";
        EXPECT_EQ(readFile(run.root / "current.json"), record) << "the selection changed";
        EXPECT_FALSE(fs::exists(fs::symlink_status(run.root / "releases/r1"))) << "a failed release is in place";
        EXPECT_EQ(stagingLeftovers(run.root), std::vector<std::string>{});
    }
}

// A launcher's first run has nothing to fall back to: the player sees why the update failed,
// as the very error the download raised, whatever its type.
TEST(FirstRun, SurfacesTheUpdateErrorAsItWasThrown) {
    struct Unexpected {};
    const std::pair<const char*, std::exception_ptr> errors[] = {
        {"a file-system error",
         std::make_exception_ptr(fs::filesystem_error("write", std::error_code(ENOSPC, std::generic_category())))},
        {"an error of no standard type", std::make_exception_ptr(Unexpected{})},
    };
    for (const auto& [name, error] : errors) {
        SCOPED_TRACE(name);
        InstallRoot run;
        run.network.onRequest = [error](const fs::path&) { std::rethrow_exception(error); };
        std::exception_ptr surfaced;
        try {
            run.prepare();
        } catch (...) {
            surfaced = std::current_exception();
        }
        EXPECT_EQ(surfaced, error) << "prepare did not fail with the download's own error";
        EXPECT_EQ(run.reports, std::vector<StatusReport>{checkingForUpdates});
        EXPECT_EQ(stagingLeftovers(run.root), std::vector<std::string>{});
    }
}

TEST(UpdateLock, HeldByAnotherProcessStopsThisLauncherBeforeAnything) {
    for (const std::string option : {"--exclusive", "--shared"}) {
        SCOPED_TRACE(option);
        InstallRoot run;
        run.installEarlier(makeSampleRelease("r0"));
        // Holds the lock on its descriptor 9 until the test ends it.
        ChildProcess other({"sh", "-c", "exec 9>>\"$0\" && flock " + option + " 9 && echo held && exec sleep 600",
                            (run.root / "update.lock").string()},
                           true);
        ASSERT_EQ(other.readLine(), "held") << "the helper process could not take the lock";

        EXPECT_TRUE(throwsBootstrapError([&] { run.prepare(); },
                                         "Another Korvel launcher is updating. Wait for it to finish."))
            << "it did not stop, or fell back";
        EXPECT_EQ(run.reports, std::vector<StatusReport>{});
        EXPECT_EQ(stagingLeftovers(run.root), std::vector<std::string>{});
    }
}

TEST(UpdateLock, AsASymbolicLinkIsRefusedAndLeftAlone) {
    InstallRoot run;
    run.installEarlier(makeSampleRelease("r0"));
    writeFile(run.temp / "elsewhere", "not a lock");
    fs::remove(run.root / "update.lock");
    fs::create_symlink(run.temp / "elsewhere", run.root / "update.lock");

    EXPECT_TRUE(throwsBootstrapError([&] { run.prepare(); },
                                     "An installation path is a symbolic link; no files were changed."))
        << "prepare fell back or went on";
    EXPECT_EQ(run.reports, std::vector<StatusReport>{});
    EXPECT_EQ(readFile(run.temp / "elsewhere"), "not a lock");
    EXPECT_EQ(stagingLeftovers(run.root), std::vector<std::string>{});
}

} // namespace
} // namespace korvel::testing
