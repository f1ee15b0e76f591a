// The real launcher, built with the suite's CA and server address compiled in
// (korvel-launcher-e2e), installing releases made, signed and published with the real
// korvel-release from nginx on loopback, verifying them with the real korvel-codesign, and
// starting their game.

#include <csignal>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "policy/bootstrap_policy.h"
#include "policy/manifest_signature.h"
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
    // Makes release with a stand-in game as its launcher program, signs it with the test key and
    // publishes it into the site with the manifest signed, all with korvel-release.
    void publish(const std::string& release, const std::vector<std::string>& options = {}) {
        SampleRelease sample = sampleRelease(release, packBytes);
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
        std::vector<std::string> publishing{KORVEL_RELEASE_BINARY, "publish", "--release", release, "--bundle", bundle,
                                            "--out", site.string(), "--manifest-key", manifestKey("first")};
        publishing.insert(publishing.end(), options.begin(), options.end());
        for (const auto& command : {std::vector<std::string>{KORVEL_RELEASE_BINARY, "sign", "--key", KORVEL_TEST_PRIVATE_KEY, bundle},
                                    publishing}) {
            const ChildResult result = runChild(command);
            ASSERT_EQ(result.exitStatus, 0) << command[1] << ": " << result.errors;
        }
    }

    // Runs the launcher as a player would, to its end, and answers how the game it started was
    // started, line by line (the game is ended then), or nothing.
    std::vector<std::string> launch(std::vector<std::string> environment = {}) {
        environment.insert(environment.end(), {"HOME=" + work.path().string(), "PATH=/usr/bin:/bin",
                                               "QT_QPA_PLATFORM=offscreen"});
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

    static std::string manifestKey(const std::string& name) {
        return KORVEL_MANIFEST_KEYS "/" + name + "-private.pem";
    }

    std::string program(const std::string& release) const {
        return "program=" + (work / ".local/share/Korvel/OnlineBetaClient/releases" / release /
                             BootstrapPolicy::entrypoint).string();
    }

    TempDir work;
    std::size_t packBytes = 1 << 20;
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

    publish("beta-3");
    const std::string altered = "/online-beta/beta-3/mac/" + BootstrapPolicy::app + "/Contents/Resources/online.json";
    writeFile(site / BootstrapPolicy::downloadHost / altered.substr(1), "{}\n");
    EXPECT_THAT(launch(), Contains(program("beta-1"))) << "after an update with a file altered on the server";
    EXPECT_FALSE(fs::exists(work / ".local/share/Korvel/OnlineBetaClient/releases/beta-3"));

    // Each run fetched the manifest and its signature, then files in manifest order: the first all
    // of beta-1, the second none; beta-3 shares the game and the pack with beta-1, which are reused
    // from it, so its run fetched the other files up to the altered one.
    const std::vector<std::string> requests = server->waitForRequests(14 + 2 + 11);
    ASSERT_EQ(requests.size(), 27u);
    for (const std::size_t run : {0, 14, 16}) {
        EXPECT_EQ(requests.at(run), "/online-beta/manifest.json") << "request " << run;
        EXPECT_EQ(requests.at(run + 1), "/online-beta/manifest.json.sig") << "request " << run + 1;
    }
    EXPECT_EQ(std::set(requests.begin() + 2, requests.begin() + 14).size(), 12u) << "each file exactly once";
    EXPECT_THAT(requests, ::testing::Not(Contains(::testing::HasSubstr("beta-3/mac/" + BootstrapPolicy::entrypoint))));
    EXPECT_EQ(requests.back(), altered);

    server.reset();
    EXPECT_THAT(launch(), Contains(program("beta-1"))) << "without the server";
}

// A launcher killed in the middle of the pack leaves what arrived, and the next start asks for
// exactly the rest: nginx answers its second request for the pack with a 206 for the remainder,
// and the game starts. (What the first response had in flight when the launcher died depends on
// the machine's load; bench/download/korvel-resume-bench measures the bytes.)
TEST_F(LauncherEndToEnd, ContinuesAPackThatAKilledLauncherLeftHalfDone) {
    packBytes = 8 << 20;
    publish("beta-1");
    server = std::make_unique<NginxServer>(
        NginxOptions{.site = site, .port = KORVEL_E2E_PORT, .bytesPerSecond = 2 << 20});
    const fs::path partials = work / ".local/share/Korvel/OnlineBetaClient/partial-downloads";
    {
        const std::vector<std::string> environment = {"HOME=" + work.path().string(), "QT_QPA_PLATFORM=offscreen"};
        const ChildProcess killed({KORVEL_E2E_LAUNCHER}, {.environment = &environment});
        ASSERT_TRUE(eventually([&] {
            std::error_code none;
            for (const auto& entry : fs::directory_iterator(partials, none)) {
                return entry.file_size() > (2u << 20);
            }
            return false;
        }));
    }  // killed
    EXPECT_THAT(launch(), Contains(program("beta-1")));
    // "<status> <body bytes sent> <Range asked> <target>" of the second request for the pack.
    const std::string log = server->responses();
    std::istringstream resumed(log.substr(log.rfind('\n', log.find(" bytes=")) + 1));
    std::string status, range;
    std::int64_t sent = 0;
    resumed >> status >> sent >> range;
    EXPECT_EQ(status, "206") << log;
    EXPECT_EQ(std::stoll(range.substr(std::string("bytes=").size())) + sent, packBytes) << "the rest, exactly";
    EXPECT_FALSE(fs::exists(partials)) << "the partial downloads outlived the installation";
}

// The launcher trusts both manifest keys it was built with, and only a fresh manifest they
// signed for it: each refused manifest leaves the release installed before starting, and a
// publication with --rollback, under a new sequence number, is followed.
TEST_F(LauncherEndToEnd, StartsTheInstalledReleaseWhenTheManifestCannotBeTrusted) {
    publish("beta-1");
    server = std::make_unique<NginxServer>(NginxOptions{.site = site, .port = KORVEL_E2E_PORT});
    ASSERT_THAT(launch(), Contains(program("beta-1")));
    const fs::path manifest = site / BootstrapPolicy::webHost / "online-beta/manifest.json";
    const fs::path signature = site / BootstrapPolicy::webHost / "online-beta/manifest.json.sig";
    const std::string replayed = readFile(manifest);
    const std::string replayedSignature = readFile(signature);
    const SigningKeyPair unknown = generateSigningKeyPair();
    writeFile(work / "unknown.pem", unknown.privatePem);
    const auto resign = [&](const std::string& key, const std::vector<std::string>& options = {}) {
        std::vector<std::string> command{KORVEL_RELEASE_BINARY, "resign", "--out", site.string(), "--manifest-key", key};
        command.insert(command.end(), options.begin(), options.end());
        ASSERT_EQ(runChild(command).exitStatus, 0);
    };
    publish("beta-2");
    resign(manifestKey("second"));
    ASSERT_THAT(launch(), Contains(program("beta-2"))) << "signed with the second key";
    const std::string acceptedManifest = readFile(manifest);
    const struct {
        const char* name;
        std::function<void()> change;
    } refused[] = {
        {"a replayed older manifest", [&] { writeFile(manifest, replayed), writeFile(signature, replayedSignature); }},
        {"altered after signing", [&] { resign(manifestKey("first")), writeFile(manifest, readFile(manifest) + " "); }},
        {"signed by an unknown key", [&] { resign((work / "unknown.pem").string()); }},
        {"the accepted sequence with other bytes", [&] {
             writeFile(manifest, acceptedManifest + " ");
             writeFile(signature, manifestSignatureFile(acceptedManifest + " ", readFile(manifestKey("first"))));
         }},
        {"expired", [&] { resign(manifestKey("first"), {"--expires-at", "2020-01-01T00:00:00Z"}); }},
        {"no signature", [&] { resign(manifestKey("first")), fs::remove(signature); }},
        {"for another channel", [&] {
             resign(manifestKey("first"));
             const std::string live = readFile(manifest);
             const std::int64_t sequence = signedDetails(live)->sequence + 1;
             writeFile(manifest, withSignedDetails(live, {sequence, 4102444800}, {.publicKeysPem = {}, .channel = "live"}));
             writeFile(signature, manifestSignatureFile(readFile(manifest), readFile(manifestKey("first"))));
         }},
    };
    const fs::path accepted = work / ".local/share/Korvel/OnlineBetaClient/manifest-sequence.json";
    for (const auto& row : refused) {
        SCOPED_TRACE(row.name);
        row.change();
        if (row.name == std::string("a replayed older manifest")) {
            fs::remove(accepted);  // the selected release's own sequence still holds the replay off
        }
        const std::string acceptedBefore = fs::exists(accepted) ? readFile(accepted) : "";
        EXPECT_THAT(launch(), Contains(program("beta-2")));
        EXPECT_EQ(fs::exists(accepted) ? readFile(accepted) : "", acceptedBefore) << "the manifest was accepted";
    }
    resign(manifestKey("first"));
    publish("beta-1", {"--rollback"});
    EXPECT_THAT(launch(), Contains(program("beta-1"))) << "after a rollback";
}

} // namespace
} // namespace korvel::test
