// The real launcher, built with this suite's trust anchor and server address compiled in
// (korvel-launcher-e2e), installing releases made, signed and published with the real
// korvel-release from nginx on loopback, verifying them with the real korvel-codesign, and
// starting their game.

#include <algorithm>
#include <csignal>
#include <functional>
#include <memory>
#include <optional>

#include <fcntl.h>
#include <sys/file.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "policy/bootstrap_policy.h"
#include "tests/servers/child_process.h"
#include "tests/servers/nginx_server.h"
#include "tests/support/fake_game.h"
#include "tests/support/sample_release.h"
#include "tests/support/temp_dir.h"
#include "tools/bundle_signature.h"

namespace korvel {
namespace {

namespace fs = std::filesystem;
using namespace testing;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;
using ::testing::StartsWith;

const std::string releaseBinary = KORVEL_RELEASE_BINARY;
const std::string signingKey = KORVEL_TEST_PRIVATE_KEY;

class LauncherEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        // One test at a time, also across processes: the port and the CA path are fixed.
        ASSERT_TRUE(suite && ::flock(suite.get(), LOCK_EX) == 0) << "cannot lock " << KORVEL_E2E_LOCK;
    }

    // Makes release with a fake game as its launcher program, signs it with key and publishes
    // it into the site, all with korvel-release.
    void publish(const std::string& release, const std::string& key = signingKey,
                 const std::vector<std::string>& publishOptions = {}) {
        SampleRelease sample = makeSampleRelease(release, 1 << 20);
        sample.contents[BootstrapPolicy::entrypoint] = fakeGameScript(gameReport);
        const fs::path parent = work / "bundles" / release;
        sample.writeTo(parent, false);
        const std::string bundle = (parent / BootstrapPolicy::app).string();
        for (const auto& command : {std::vector<std::string>{releaseBinary, "sign", "--key", key, bundle},
                                    std::vector<std::string>{releaseBinary, "publish", "--release", release,
                                                             "--bundle", bundle, "--out", site.string()}}) {
            std::vector<std::string> argv = command;
            if (command[1] == "publish") {
                argv.insert(argv.end(), publishOptions.begin(), publishOptions.end());
            }
            const ChildResult result = runChild(argv);
            ASSERT_EQ(result.exitStatus, 0) << command[1] << ": " << result.errors;
        }
    }

    void startServer() {
        server = std::make_unique<NginxServer>(
            NginxOptions{.site = site, .port = KORVEL_E2E_PORT, .certificates = KORVEL_E2E_CERTIFICATES});
    }

    // Runs the launcher as a player would, to its end, and answers how the game it started was
    // started (the game is ended then).
    std::optional<GameReport> launch(const std::vector<std::string>& extraEnvironment = {}) {
        std::vector<std::string> environment = {"HOME=" + home.string(), "QT_QPA_PLATFORM=offscreen"};
        environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
        fs::remove(gameReport);
        fs::create_directories(home);
        const ChildResult launcher = runChild(
            {KORVEL_E2E_LAUNCHER}, environmentWith(environment, {"XDG_DATA_HOME", "DISPLAY", "WAYLAND_DISPLAY"}),
            std::chrono::seconds(60));
        EXPECT_FALSE(launcher.timedOut) << "the launcher did not end: it is probably showing its failure alert";
        EXPECT_EQ(launcher.exitStatus, 0) << launcher.errors;
        std::optional<GameReport> game = launcher.exitStatus == 0 ? waitForGameReport(gameReport) : std::nullopt;
        if (game) {
            ::kill(std::stoi(game->facts.at("pid")), SIGKILL);
        }
        return game;
    }

    fs::path installRoot() const { return home / ".local/share/Korvel/OnlineBetaClient"; }
    std::string entrypointOf(const std::string& release) const {
        return (installRoot() / "releases" / release / BootstrapPolicy::entrypoint).string();
    }
    std::string selectedRelease() const {
        return decodeJson<CurrentRelease>(readFile(installRoot() / "current.json")).release;
    }

    UniqueFd suite{::open(KORVEL_E2E_LOCK, O_RDWR | O_CREAT | O_CLOEXEC, 0600)};
    TempDir work;
    fs::path home = work / "home";
    fs::path site = work / "site";
    fs::path gameReport = work / "game-report";
    std::unique_ptr<NginxServer> server;
};

std::string releaseFiles(const std::string& release) { return "/online-beta/" + release + "/mac/"; }

TEST_F(LauncherEndToEnd, FirstRunInstallsThePublishedReleaseAndStartsIt) {
    publish("beta-1");
    startServer();

    const std::optional<GameReport> game = launch();

    ASSERT_TRUE(game) << "no game started";
    EXPECT_EQ(game->facts.at("program"), entrypointOf("beta-1"));
    EXPECT_EQ(selectedRelease(), "beta-1");
    const std::vector<std::string> log = server->waitForRequests(13);
    EXPECT_EQ(log.front(), "/online-beta/manifest.json");
    const auto releaseFile = [](const std::string& target) { return target.starts_with(releaseFiles("beta-1")); };
    EXPECT_EQ(std::count_if(log.begin(), log.end(), releaseFile), 12) << "each release file exactly once";
}

TEST_F(LauncherEndToEnd, SecondRunReusesTheInstalledReleaseWithoutDownloadingIt) {
    publish("beta-1");
    startServer();
    ASSERT_TRUE(launch()) << "no game started on the first run";
    const std::size_t firstRun = server->waitForRequests(13).size();

    const std::optional<GameReport> game = launch();

    ASSERT_TRUE(game) << "no game started on the second run";
    EXPECT_EQ(game->facts.at("program"), entrypointOf("beta-1"));
    const std::vector<std::string> log = server->waitForRequests(firstRun + 1);
    EXPECT_THAT(std::vector(log.begin() + static_cast<std::ptrdiff_t>(firstRun), log.end()),
                ElementsAre("/online-beta/manifest.json"))
        << "the second run fetches the manifest and nothing else";
}

TEST_F(LauncherEndToEnd, WithoutTheServerTheVerifiedInstalledReleaseStarts) {
    publish("beta-1");
    startServer();
    ASSERT_TRUE(launch()) << "no game started on the first run";
    server.reset();

    const std::optional<GameReport> game = launch();

    ASSERT_TRUE(game) << "no game started without the server";
    EXPECT_EQ(game->facts.at("program"), entrypointOf("beta-1"));
}

TEST_F(LauncherEndToEnd, RefusedUpdateLeavesThePreviousReleaseSelectedAndStartsIt) {
    const fs::path untrustedKey = work / "untrusted-private.pem";
    const SigningKeyPair untrusted = generateSigningKeyPair();
    writeFile(untrustedKey, untrusted.privatePem);
    writeFile(work / "untrusted-public.pem", untrusted.publicPem);
    const std::string altered = "Korvel_Online_Beta.app/Contents/Resources/online.json";
    const struct {
        const char* what;
        std::function<void()> publishUpdate;
    } cases[] = {
        {"a published file altered after publishing",
         [&] {
             publish("beta-2");
             const fs::path published = site / (BootstrapPolicy::downloadBase + "beta-2/mac/" + altered).substr(8);
             std::string bytes = readFile(published);
             bytes[0] ^= 1;
             writeFile(published, bytes);
         }},
        {"a release signed with a key the build does not trust",
         [&] { publish("beta-2", untrustedKey.string(), {"--public-key", (work / "untrusted-public.pem").string()}); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(site);
        fs::remove_all(home);
        publish("beta-1");
        startServer();
        ASSERT_TRUE(launch()) << "no game started on the first run";
        c.publishUpdate();

        const std::optional<GameReport> game = launch();

        ASSERT_TRUE(game) << "no game started after the refused update";
        EXPECT_EQ(game->facts.at("program"), entrypointOf("beta-1"));
        EXPECT_EQ(selectedRelease(), "beta-1");
        EXPECT_FALSE(fs::exists(installRoot() / "releases/beta-2")) << "the refused release was installed";
        EXPECT_THAT(server->waitForRequests(14), Contains(releaseFiles("beta-2") + altered))
            << "the launcher never tried the update";
        server.reset();
    }
}

TEST_F(LauncherEndToEnd, GameEnvironmentHoldsNoKorvelVariables) {
    publish("beta-1");
    startServer();

    const std::optional<GameReport> game =
        launch({"KORVEL_SESSION_TOKEN=secret", "KORVEL_=empty-suffix", "korvel_lower=kept", "MY_KORVEL_X=kept"});

    ASSERT_TRUE(game) << "no game started";
    EXPECT_THAT(game->environment, Not(Contains(StartsWith("KORVEL_"))));
    EXPECT_THAT(game->environment, Contains("korvel_lower=kept"));
    EXPECT_THAT(game->environment, Contains("MY_KORVEL_X=kept"));
    EXPECT_THAT(game->environment, Contains("HOME=" + home.string()));
}

} // namespace
} // namespace korvel
