#include <cerrno>
#include <exception>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "installer/posix_file.h"
#include "policy/bootstrap_policy.h"
#include "tests/installer/stub_operations.h"
#include "tests/support/expect_error.h"

namespace korvel::testing {
namespace {

namespace fs = std::filesystem;

const StatusReport checkingForUpdates{"Checking for game updates…", 0.0};
const StatusReport fallingBack{"Update unavailable. Starting the verified installed game…", 1.0};
const std::string lockBusy = "Another Korvel launcher is updating. Wait for it to finish.";
const std::string lockLinked = "An installation path is a symbolic link; no files were changed.";

std::string fileUrl(const SampleRelease& release, const std::string& path) {
    return BootstrapPolicy::downloadBase + release.name + "/mac/" + path;
}

// Another process that holds the update lock (flock operation LOCK_EX or LOCK_SH) until this
// object goes away.
class LockHolder {
public:
    LockHolder(const fs::path& lock, int operation) {
        int ready[2];
        int release[2];
        if (::pipe(ready) != 0 || ::pipe(release) != 0) {
            throw std::system_error(errno, std::generic_category(), "pipe");
        }
        pid = ::fork();
        if (pid < 0) {
            throw std::system_error(errno, std::generic_category(), "fork");
        }
        if (pid == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT, 0600);
            if (fd >= 0 && ::flock(fd, operation) == 0 && ::write(ready[1], "L", 1) == 1) {
                // Holds the lock until the test closes its end of the pipe.
                char ignored;
                while (::read(release[0], &ignored, 1) < 0 && errno == EINTR) {
                }
            }
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        releaseEnd.reset(release[1]);
        char signal = 0;
        holding = ::read(ready[0], &signal, 1) == 1;
        ::close(ready[0]);
    }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;
    ~LockHolder() {
        releaseEnd.reset();
        int status = 0;
        ::waitpid(pid, &status, 0);
    }

    bool holding = false;

private:
    pid_t pid = -1;
    UniqueFd releaseEnd;
};

TEST(Fallback, StartsTheEarlierReleaseUnchangedWhenTheUpdateFails) {
    struct Case {
        const char* name;
        std::function<void(InstallRoot&, const SampleRelease&)> breakUpdate;
        bool reachesFiles;  // whether progress reports come between the two of prepare
    };
    const std::string pack = BootstrapPolicy::app + "/Contents/Resources/Korvel_Online.pck";
    const Case cases[] = {
        {"no network", [](InstallRoot&, const SampleRelease&) {}, false},
        {"a download error of no standard type",
         [](InstallRoot& run, const SampleRelease&) { run.network.outage = [](const fs::path&) { throw 42; }; },
         false},
        {"a refused manifest",
         [](InstallRoot& run, const SampleRelease& next) {
             std::string manifest = next.manifestJson();
             manifest.replace(manifest.find("\"schema\": 1"), 11, "\"schema\": 2");
             run.network.publish(next, manifest);
         },
         false},
        {"a file one byte short",
         [&](InstallRoot& run, const SampleRelease& next) {
             run.network.publish(next);
             run.network.bodies.at(fileUrl(next, pack)).pop_back();
         },
         true},
        {"a file with one wrong byte",
         [&](InstallRoot& run, const SampleRelease& next) {
             run.network.publish(next);
             run.network.bodies.at(fileUrl(next, pack))[100] ^= 1;
         },
         true},
        {"a failing signature check",
         [](InstallRoot& run, const SampleRelease& next) {
             run.network.publish(next);
             run.signature.refuses = [](const fs::path& app) {
                 return app.parent_path().filename().string().starts_with(".stage-");
             };
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        InstallRoot run;
        run.installEarlier(makeSampleRelease("r0"));
        const std::string record = readFile(run.root / "current.json");
        c.breakUpdate(run, makeSampleRelease("r1"));

        const PreparedClient client = run.prepare();

        EXPECT_EQ(client.executable, run.entrypoint("r0"));
        EXPECT_TRUE(client.usedPrevious);
        const std::vector<StatusReport> reports = run.status.taken();
        ASSERT_GE(reports.size(), 2u);
        EXPECT_EQ(reports.front(), checkingForUpdates);
        EXPECT_EQ(reports.back(), fallingBack);
        EXPECT_EQ(reports.size() > 2, c.reachesFiles) << "unexpected reports between check and fallback";
        EXPECT_EQ(readFile(run.root / "current.json"), record) << "the selection changed";
        EXPECT_FALSE(fs::exists(fs::symlink_status(run.root / "releases/r1"))) << "a failed release is in place";
        EXPECT_EQ(stagingLeftovers(run.root), std::vector<std::string>{});
    }
}

// Called inside a handler: whether the exception being handled is an Error that passes check.
template <class Error>
std::function<bool()> handling(std::function<bool(const Error&)> check) {
    return [check] {
        try {
            throw;
        } catch (const Error& error) {
            return check(error);
        } catch (...) {
            return false;
        }
    };
}

// A launcher's first run has nothing to fall back to: the player sees why the update failed,
// as the error the download raised, whatever its type.
TEST(FirstRun, SurfacesTheUpdateErrorAsItWasThrown) {
    struct Unexpected {
        int id;
    };
    struct Case {
        const char* name;
        std::function<void(const fs::path& destination)> outage;
        std::function<bool()> caughtAsThrown;  // runs inside the handler of prepare's error
    };
    const Case cases[] = {
        {"a transport error", [](const fs::path&) { throw TransportError(7, "Couldn't connect to server"); },
         handling<TransportError>([](const TransportError& error) { return error.code() == 7; })},
        {"a file-system error", [](const fs::path& destination) { throwSystemError(ENOSPC, "write", destination); },
         handling<fs::filesystem_error>([](const fs::filesystem_error& error) {
             return error.code() == std::error_code(ENOSPC, std::generic_category());
         })},
        {"an error of no standard type", [](const fs::path&) { throw Unexpected{42}; },
         handling<Unexpected>([](const Unexpected& error) { return error.id == 42; })},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        InstallRoot run;
        run.network.outage = c.outage;
        bool asThrown = false;
        try {
            run.prepare();
        } catch (...) {
            asThrown = c.caughtAsThrown();
        }
        EXPECT_TRUE(asThrown) << "prepare did not fail with the download's own error";
        EXPECT_EQ(run.status.taken(), std::vector<StatusReport>{checkingForUpdates});
        EXPECT_EQ(stagingLeftovers(run.root), std::vector<std::string>{});
    }
}

TEST(FirstRun, StopsAtADamagedFileWithTheDownloadCheckMessage) {
    const SampleRelease release = makeSampleRelease("r1");
    const std::string pack = fileUrl(release, BootstrapPolicy::app + "/Contents/Resources/Korvel_Online.pck");
    const std::pair<const char*, std::function<void(std::string&)>> damages[] = {
        {"one byte short", [](std::string& body) { body.pop_back(); }},
        {"one wrong byte", [](std::string& body) { body[100] ^= 1; }},
    };
    for (const auto& [name, damage] : damages) {
        SCOPED_TRACE(name);
        InstallRoot run;
        run.network.publish(release);
        damage(run.network.bodies.at(pack));

        EXPECT_TRUE(throwsBootstrapError(
            [&] { run.prepare(); },
            "A game download failed its size or SHA-256 check. The previous version is unchanged."));
        EXPECT_EQ(run.network.requests.back(), pack) << "files after the damaged one were fetched";
        EXPECT_FALSE(fs::exists(fs::symlink_status(run.root / "releases/r1")));
        EXPECT_EQ(stagingLeftovers(run.root), std::vector<std::string>{});
    }
}

TEST(UpdateLock, HeldByAnotherProcessStopsThisLauncherBeforeAnything) {
    const std::pair<const char*, int> holds[] = {{"exclusively", LOCK_EX}, {"shared", LOCK_SH}};
    for (const auto& [name, operation] : holds) {
        SCOPED_TRACE(name);
        InstallRoot run;
        run.installEarlier(makeSampleRelease("r0"));
        run.network.publish(makeSampleRelease("r1"));
        const LockHolder other(run.root / "update.lock", operation);
        ASSERT_TRUE(other.holding) << "the helper process could not take the lock";

        EXPECT_TRUE(throwsBootstrapError([&] { run.prepare(); }, lockBusy)) << "it did not stop, or fell back";
        EXPECT_EQ(run.status.taken(), std::vector<StatusReport>{});
        EXPECT_EQ(run.network.requests, std::vector<std::string>{});
        EXPECT_EQ(stagingLeftovers(run.root), std::vector<std::string>{});
    }
}

TEST(UpdateLock, AsASymbolicLinkIsRefusedAndLeftAlone) {
    InstallRoot run;
    run.installEarlier(makeSampleRelease("r0"));
    run.network.publish(makeSampleRelease("r1"));
    const fs::path target = run.temp / "elsewhere";
    writeFile(target, "not a lock");
    fs::remove(run.root / "update.lock");
    fs::create_symlink(target, run.root / "update.lock");

    EXPECT_TRUE(throwsBootstrapError([&] { run.prepare(); }, lockLinked)) << "prepare fell back or went on";
    EXPECT_EQ(run.status.taken(), std::vector<StatusReport>{});
    EXPECT_EQ(fs::read_symlink(run.root / "update.lock"), target);
    EXPECT_EQ(readFile(target), "not a lock");
    EXPECT_EQ(stagingLeftovers(run.root), std::vector<std::string>{});
}

} // namespace
} // namespace korvel::testing
