// The real launcher, built with the suite's CA and server address compiled in
// (korvel-launcher-e2e), installing releases made, signed and published with the real
// korvel-release from nginx on loopback, verifying them with the real korvel-codesign, and
// starting their game.

#include <csignal>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "policy/bootstrap_policy.h"
#include "tests/servers/child_process.h"
#include "tests/servers/nginx_server.h"
#include "tests/support/eventually.h"
#include "tests/support/sample_release.h"
#include "tests/support/temp_dir.h"
#include "tools/bundle_signature.h"

namespace korvel::test {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;

class LauncherEndToEnd : public ::testing::Test {
protected:
    // Makes release with a stand-in game as its launcher program, signs it with key and publishes
    // it into the site, all with korvel-release.
    void publish(const std::string& release, const std::string& key = KORVEL_TEST_PRIVATE_KEY) {
        SampleRelease sample = sampleRelease(release, 1 << 20);
        // The game records how it was started, then runs on, so that a launcher waiting for it is caught.
        sample.contents[BootstrapPolicy::entrypoint] = "#!/bin/sh\nreport='" + game.string() + "'\n" + R"(
out=$(readlink /proc/$$/fd/1) errors=$(readlink /proc/$$/fd/2)
{ printf '%s\n' "program=$0" "pid=$$" "arguments=$#" "stdout=$out" "stderr=$errors"
  tr '\0' '\n' </proc/$$/environ; } >"$report.tmp"
mv "$report.tmp" "$report"
exec sleep 60
)";
        const std::string bundle = (work / "bundles" / release / BootstrapPolicy::app).string();
        sample.writeBundle(work / "bundles" / release);
        for (const auto& command : {std::vector<std::string>{KORVEL_RELEASE_BINARY, "sign", "--key", key, bundle},
                                    {KORVEL_RELEASE_BINARY, "publish", "--release", release, "--bundle", bundle,
                                     "--out", site.string()}}) {
            const ChildResult result = runChild(command);
            ASSERT_EQ(result.exitStatus, 0) << command[1] << ": " << result.errors;
        }
    }

    // Runs the launcher as a player would, to its end, and answers how the game it started was
    // started, line by line (the game is ended then), or nothing.
    std::vector<std::string> launch(const std::vector<std::string>& extraEnvironment = {}) {
        std::vector<std::string> environment = {"HOME=" + work.path().string(), "PATH=/usr/bin:/bin",
                                                "QT_QPA_PLATFORM=offscreen"};
        environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
        fs::remove(game);
        const ChildResult launcher = runChild({KORVEL_E2E_LAUNCHER}, &environment, std::chrono::seconds(60));
        EXPECT_EQ(launcher.exitStatus, 0) << "it did not end, probably showing its alert: " << launcher.errors;
        std::vector<std::string> report;
        if (launcher.exitStatus == 0 && eventually([&] { return fs::exists(game); })) {
            std::istringstream lines(readFile(game));
            for (std::string line; std::getline(lines, line);) {
                report.push_back(line);
                if (line.starts_with("pid=")) {
                    ::kill(std::stoi(line.substr(4)), SIGKILL);
                }
            }
        }
        return report;
    }

    std::string program(const std::string& release) const {
        return "program=" + (work / ".local/share/Korvel/OnlineBetaClient/releases" / release /
                             BootstrapPolicy::entrypoint).string();
    }

    TempDir work;
    fs::path site = work / "site";
    fs::path game = work / "game";
    std::unique_ptr<NginxServer> server;
};

// A player's runs: the first installs the published release and starts its game with the
// launcher's own variables removed; the next only checks the manifest; refused updates leave the
// installed release starting, and so does a run without the server.
TEST_F(LauncherEndToEnd, InstallsOnceRefusesBadUpdatesAndFallsBackWithoutTheServer) {
    publish("beta-1");
    server = std::make_unique<NginxServer>(NginxOptions{.site = site, .port = KORVEL_E2E_PORT});
    const std::vector<std::string> game = launch({"KORVEL_SESSION_TOKEN=secret", "KORVEL_=x", "korvel_lower=kept"});
    const std::vector<std::string> expected = {program("beta-1"), "arguments=0", "stdout=/dev/null",
                                               "stderr=/dev/null", "korvel_lower=kept", "HOME=" + work.path().string()};
    EXPECT_THAT(game, ::testing::IsSupersetOf(expected));
    EXPECT_THAT(game, ::testing::Not(Contains(::testing::StartsWith("KORVEL_"))));
    EXPECT_THAT(launch(), Contains(program("beta-1")));

    const fs::path untrustedKey = work / "untrusted-private.pem";
    writeFile(untrustedKey, generateSigningKeyPair().privatePem);
    publish("beta-2", untrustedKey.string());
    EXPECT_THAT(launch(), Contains(program("beta-1"))) << "after an update signed with an untrusted key";
    publish("beta-3");
    const std::string altered = "/online-beta/beta-3/mac/" + BootstrapPolicy::app + "/Contents/Resources/online.json";
    writeFile(site / BootstrapPolicy::downloadHost / altered.substr(1), "{}\n");
    EXPECT_THAT(launch(), Contains(program("beta-1"))) << "after an update with a file altered on the server";
    EXPECT_FALSE(fs::exists(work / ".local/share/Korvel/OnlineBetaClient/releases/beta-3"));

    // Each run fetched the manifest, then files in manifest order: the first all of beta-1, the
    // second none, then all of beta-2 and those of beta-3 up to the altered one.
    const std::vector<std::string> requests = server->waitForRequests(13 + 1 + 13 + 12);
    ASSERT_EQ(requests.size(), 39u);
    for (const std::size_t run : {0, 13, 14, 27}) {
        EXPECT_EQ(requests.at(run), "/online-beta/manifest.json") << "request " << run;
    }
    EXPECT_EQ(std::set(requests.begin() + 1, requests.begin() + 13).size(), 12u) << "each file exactly once";
    EXPECT_EQ(requests.back(), altered);

    server.reset();
    EXPECT_THAT(launch(), Contains(program("beta-1"))) << "without the server";
}

} // namespace
} // namespace korvel::test
