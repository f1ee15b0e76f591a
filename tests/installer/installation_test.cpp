#include <cerrno>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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
const StatusReport checkingInstalled{"Checking installed game…", 0.0};

struct stat lstatOf(const fs::path& path) {
    struct stat info{};
    if (::lstat(path.c_str(), &info) != 0) {
        throwSystemError(errno, "lstat", path);
    }
    return info;
}

unsigned modeOf(const fs::path& path) { return lstatOf(path).st_mode & 07777; }

// The policy's paths in reverse, so that manifest order and sorted order differ.
std::vector<std::string> reversedPaths() { return {BootstrapPolicy::paths.rbegin(), BootstrapPolicy::paths.rend()}; }

long openDescriptors() {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
}

bool lockIsFree(const fs::path& lock) {
    const UniqueFd fd(::open(lock.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    return fd && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0;
}

TEST(FirstInstall, LaysOutTheReleaseAndSelectsIt) {
    InstallRoot run;
    const SampleRelease release = makeSampleRelease("r1");
    const std::string manifest = release.manifestJson(reversedPaths());
    run.network.publish(release, manifest);
    const long descriptorsBefore = openDescriptors();

    const PreparedClient client = run.prepare();

    EXPECT_EQ(openDescriptors(), descriptorsBefore) << "prepare left descriptors open";
    EXPECT_EQ(client.executable, run.entrypoint("r1"));
    EXPECT_FALSE(client.usedPrevious);
    const fs::path installed = run.root / "releases/r1";
    for (const auto& [path, bytes] : release.contents) {
        SCOPED_TRACE(path);
        EXPECT_EQ(readFile(installed / path), bytes);
        EXPECT_EQ(modeOf(installed / path), BootstrapPolicy::executables.contains(path) ? 0755u : 0644u);
    }
    std::vector<fs::path> directories = {run.root.parent_path(), run.root, run.root / "releases", installed};
    for (const auto& entry : fs::recursive_directory_iterator(installed)) {
        if (entry.is_directory()) {
            directories.push_back(entry.path());
        }
    }
    for (const auto& directory : directories) {
        EXPECT_EQ(modeOf(directory), 0700u) << directory << " is not private";
    }
    EXPECT_EQ(readFile(installed / "installed-manifest.json"), manifest) << "the saved manifest is not the served one";
    const CurrentRelease selected = decodeJson<CurrentRelease>(readFile(run.root / "current.json"));
    EXPECT_EQ(selected.release, "r1");
    EXPECT_EQ(modeOf(run.root / "current.json"), 0600u);
    const struct stat lock = lstatOf(run.root / "update.lock");
    EXPECT_TRUE(S_ISREG(lock.st_mode) && lock.st_size == 0 && (lock.st_mode & 07777) == 0600);
    EXPECT_TRUE(lockIsFree(run.root / "update.lock")) << "the update lock is still held";
    EXPECT_EQ(stagingLeftovers(run.root), std::vector<std::string>{});
    ASSERT_EQ(run.signature.checked.size(), 1u);
    EXPECT_EQ(run.signature.checked[0].filename(), BootstrapPolicy::app);
    EXPECT_TRUE(run.signature.checked[0].parent_path().filename().string().starts_with(".stage-"))
        << "the signature was checked at " << run.signature.checked[0] << ", not before the move";
}

TEST(FirstInstall, ReportsEachFileInManifestOrderUpToTheWholeRelease) {
    InstallRoot run;
    const SampleRelease release = makeSampleRelease("r1", 10000);
    const std::vector<ReleaseFile> files = release.files(reversedPaths());
    run.network.publish(release, release.manifestJson(reversedPaths()));

    run.prepare();

    std::int64_t total = 0;
    for (const auto& file : files) {
        total += file.bytes;
    }
    std::vector<StatusReport> expected = {checkingForUpdates};
    std::vector<std::string> requests = {BootstrapPolicy::manifestURL};
    std::int64_t completed = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string message = "Installing game " + std::to_string(i + 1) + " of 12…";
        // The stub download reports after the first half of a file and at its end.
        for (const std::int64_t received : {files[i].bytes / 2, files[i].bytes}) {
            expected.push_back({message, static_cast<double>(completed + received) / static_cast<double>(total)});
        }
        completed += files[i].bytes;
        requests.push_back(files[i].url);
    }
    EXPECT_EQ(run.network.requests, requests) << "files were not fetched one by one in manifest order";
    const std::vector<StatusReport> reports = run.status.taken();
    EXPECT_EQ(reports, expected);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().fraction, 1.0) << "the bar does not reach its end";
}

TEST(InstalledRelease, IsSelectedAgainWithoutDownloadingWhateverTheFileOrder) {
    const SampleRelease release = makeSampleRelease("r1");
    const std::vector<std::pair<const char*, std::vector<std::string>>> orders = {
        {"the same order", {}},
        {"another order", reversedPaths()},
    };
    for (const auto& [name, order] : orders) {
        SCOPED_TRACE(name);
        InstallRoot run;
        run.installEarlier(release);
        const std::string saved = readFile(run.root / "releases/r1/installed-manifest.json");
        const ino_t recordBefore = lstatOf(run.root / "current.json").st_ino;
        run.network.publish(release, release.manifestJson(order));

        const PreparedClient client = run.prepare();

        EXPECT_EQ(client.executable, run.entrypoint("r1"));
        EXPECT_FALSE(client.usedPrevious);
        EXPECT_EQ(run.network.requests, std::vector<std::string>{BootstrapPolicy::manifestURL});
        EXPECT_EQ(run.status.taken(), (std::vector<StatusReport>{checkingForUpdates, checkingInstalled}));
        EXPECT_NE(lstatOf(run.root / "current.json").st_ino, recordBefore)
            << "the selection was not committed again";
        EXPECT_EQ(readFile(run.root / "releases/r1/installed-manifest.json"), saved);
        EXPECT_EQ(stagingLeftovers(run.root), std::vector<std::string>{});
    }
}

TEST(InstalledRelease, IsRefusedWhenItsSavedManifestDescribesOtherContent) {
    const SampleRelease release = makeSampleRelease("r1");
    SampleRelease otherDigest = release;
    otherDigest.contents.at(BootstrapPolicy::app + "/Contents/PkgInfo")[0] ^= 1;  // same size
    const std::vector<std::pair<const char*, std::string>> savedManifests = {
        {"one digest differs", otherDigest.manifestJson()},
        {"another release name", makeSampleRelease("r2").manifestJson()},
    };
    for (const auto& [name, saved] : savedManifests) {
        SCOPED_TRACE(name);
        InstallRoot run;
        run.installEarlier(release);
        writeFile(run.root / "releases/r1/installed-manifest.json", saved);
        const std::string record = readFile(run.root / "current.json");
        run.network.publish(release);

        // The earlier selection is this very release, so the fallback fails as well and the
        // refusal itself reaches the caller.
        EXPECT_TRUE(throwsBootstrapError([&] { run.prepare(); },
                                         "An existing release name was reused for different content."));
        EXPECT_EQ(run.network.requests, std::vector<std::string>{BootstrapPolicy::manifestURL});
        EXPECT_EQ(readFile(run.root / "current.json"), record);
        EXPECT_EQ(readFile(run.root / "releases/r1/installed-manifest.json"), saved);
        EXPECT_EQ(readFile(run.entrypoint("r1")), release.contents.at(BootstrapPolicy::entrypoint));
    }
}

TEST(InstalledRelease, ThatACommitFailureLeftInPlaceIsSelectedByTheNextRun) {
    InstallRoot run;
    const SampleRelease release = makeSampleRelease("r1");
    // A directory where the record goes: the release is moved into place, then the record
    // cannot be replaced.
    fs::create_directories(run.root / "current.json");
    run.network.publish(release);

    EXPECT_THROW(run.prepare(), fs::filesystem_error);
    EXPECT_EQ(readFile(run.entrypoint("r1")), release.contents.at(BootstrapPolicy::entrypoint))
        << "the moved release did not stay in place";
    EXPECT_EQ(stagingLeftovers(run.root), std::vector<std::string>{});

    fs::remove(run.root / "current.json");
    run.network.requests.clear();
    run.status.taken();
    const PreparedClient client = run.prepare();

    EXPECT_EQ(client.executable, run.entrypoint("r1"));
    EXPECT_FALSE(client.usedPrevious);
    EXPECT_EQ(run.network.requests, std::vector<std::string>{BootstrapPolicy::manifestURL});
    EXPECT_EQ(run.status.taken(), (std::vector<StatusReport>{checkingForUpdates, checkingInstalled}));
    EXPECT_EQ(decodeJson<CurrentRelease>(readFile(run.root / "current.json")).release, "r1");
}

} // namespace
} // namespace korvel::testing
