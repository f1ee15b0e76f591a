#include <cerrno>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "policy/bootstrap_policy.h"
#include "tests/installer/stub_operations.h"
#include "tests/support/eventually.h"
#include "tests/support/expect_error.h"

namespace korvel::testing {
namespace {

namespace fs = std::filesystem;

struct stat lstatOf(const fs::path& path) {
    struct stat info{};
    if (::lstat(path.c_str(), &info) != 0) {
        throwSystemError(errno, "lstat", path);
    }
    return info;
}

// The policy's paths in reverse, so that manifest order and sorted order differ.
std::vector<std::string> reversedPaths() { return {BootstrapPolicy::paths.rbegin(), BootstrapPolicy::paths.rend()}; }

long openDescriptors() { return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()); }

// Whether a descriptor of this process has read file to its end: the installer may hash a file
// through a descriptor of its own while it arrives.
bool readToEnd(const fs::path& file, std::size_t size) {
    for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
        std::error_code closed;
        if (fs::read_symlink(fd.path(), closed) == fs::canonical(file) &&
            readFile("/proc/self/fdinfo" / fd.path().filename()).starts_with("pos:\t" + std::to_string(size) + '\n')) {
            return true;
        }
    }
    return false;
}

TEST(FirstInstall, LaysOutTheReleaseAndSelectsIt) {
    InstallRoot run;
    const SampleRelease release = makeSampleRelease("r1");
    const std::string manifest = release.manifestJson(reversedPaths());
    run.network.publish(release, manifest);
    const long descriptorsBefore = openDescriptors();

    const PreparedClient client = run.prepare();

    EXPECT_EQ(openDescriptors(), descriptorsBefore) << "prepare left descriptors open (the update lock among them?)";
    EXPECT_EQ(client.executable, run.entrypoint("r1"));
    EXPECT_FALSE(client.usedPrevious);
    const fs::path installed = run.root / "releases/r1";
    for (const auto& [path, bytes] : release.contents) {
        EXPECT_EQ(readFile(installed / path), bytes) << path;
        const mode_t mode = BootstrapPolicy::executables.contains(path) ? 0755 : 0644;
        EXPECT_EQ(lstatOf(installed / path).st_mode, S_IFREG | mode) << path;
    }
    for (const auto& entry : fs::recursive_directory_iterator(run.temp.path())) {  // all made by the installer
        if (entry.is_directory()) {
            EXPECT_EQ(lstatOf(entry.path()).st_mode, S_IFDIR | 0700u) << entry.path() << " is not private";
        }
    }
    EXPECT_EQ(readFile(installed / "installed-manifest.json"), manifest) << "the saved manifest is not the served one";
    EXPECT_EQ(decodeJson<CurrentRelease>(readFile(run.root / "current.json")).release, "r1");
    EXPECT_EQ(lstatOf(run.root / "current.json").st_mode, S_IFREG | 0600u);
    EXPECT_EQ(lstatOf(run.root / "update.lock").st_mode, S_IFREG | 0600u);
    EXPECT_EQ(lstatOf(run.root / "update.lock").st_size, 0);
    EXPECT_EQ(stagingLeftovers(run.root), std::vector<std::string>{});
    ASSERT_EQ(run.signedApps.size(), 1u);
    EXPECT_THAT(run.signedApps[0].lexically_relative(run.root).string(),  // the staged tree, before the move
                ::testing::MatchesRegex("\\.stage-[-0-9A-F]{36}/" + BootstrapPolicy::app));
}

TEST(FirstInstall, ReportsEachFileInManifestOrderUpToTheWholeRelease) {
    InstallRoot run;
    const SampleRelease release = makeSampleRelease("r1", 10000);
    const std::vector<ReleaseFile> files = release.files(reversedPaths());
    run.network.publish(release, release.manifestJson(reversedPaths()));

    run.prepare();

    const std::int64_t total =
        std::accumulate(files.begin(), files.end(), std::int64_t{0}, [](auto sum, auto& f) { return sum + f.bytes; });
    std::vector<StatusReport> expected = {checkingForUpdates};
    std::vector<std::string> requests = {BootstrapPolicy::manifestURL};
    std::int64_t completed = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        // The stub download reports after the first half of a file and at its end.
        for (const std::int64_t received : {files[i].bytes / 2, files[i].bytes}) {
            expected.push_back({"Installing game " + std::to_string(i + 1) + " of 12…",
                                static_cast<double>(completed + received) / static_cast<double>(total)});
        }
        completed += files[i].bytes;
        requests.push_back(files[i].url);
    }
    EXPECT_EQ(run.network.requests, requests) << "files were not fetched one by one in manifest order";
    EXPECT_EQ(run.reports, expected);  // up to exactly 1.0
}

// The installer hashes each file while the download writes it; whatever the download does on
// the way, the verdict must be that of the file as it is when the download returns.
TEST(FirstInstall, DecidesOnEachFileAsTheDownloadLeftIt) {
    using Writer = std::function<void(const fs::path&, const std::string& body, const Progress&)>;
    const auto flipped = [](std::string bytes) {
        bytes[bytes.size() / 4] ^= 1;
        return bytes;
    };
    const std::string refused = "A game download failed its size or SHA-256 check. The previous version is unchanged.";
    const struct {
        const char* name;
        Writer write;
        std::string message;  // "" when the release installs
    } cases[] = {
        {"as served", [](auto& path, auto& body, auto& progress) { deliver(path, body, body.size(), progress); }, ""},
        {"without a report", [](auto& path, auto& body, auto&) { deliver(path, body, body.size(), [](auto) {}); }, ""},
        {"a wrong byte mended after the installer read it",
         [&](auto& path, auto& body, auto& progress) {
             deliver(path, flipped(body), body.size(), progress);
             eventually([&] { return readToEnd(path, body.size()); }, std::chrono::seconds(10));
             const UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
             ASSERT_EQ(::pwrite(fd.get(), &body[body.size() / 4], 1, static_cast<off_t>(body.size() / 4)), 1);
         },
         ""},
        {"one byte changed",
         [&](auto& path, auto& body, auto& progress) { deliver(path, flipped(body), body.size(), progress); }, refused},
        {"one byte short",
         [](auto& path, auto& body, auto& progress) { deliver(path, body.substr(1), body.size(), progress); }, refused},
        {"a right file replaced by a wrong one",
         [&](auto& path, auto& body, auto& progress) {
             deliver(path, body, body.size(), progress);
             writeFile(path.string() + ".new", flipped(body));
             fs::rename(path.string() + ".new", path);
         },
         refused},
    };
    // Several MiB, so that the installer reads the pack in several chunks while it arrives.
    const std::string pack = BootstrapPolicy::app + "/Contents/Resources/Korvel_Online.pck";
    const SampleRelease release = makeSampleRelease("r1", 5 << 20);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InstallRoot run;
        run.network.publish(release);
        run.network.fileWriter = c.write;
        EXPECT_TRUE(throwsBootstrapError([&] { run.prepare(); }, c.message));
        if (c.message.empty()) {
            EXPECT_EQ(readFile(run.root / "releases/r1" / pack), release.contents.at(pack));
        } else {
            EXPECT_FALSE(fs::exists(fs::symlink_status(run.root / "releases/r1"))) << "the refused release is in place";
        }
        EXPECT_EQ(stagingLeftovers(run.root), std::vector<std::string>{});
    }
}

TEST(InstalledRelease, IsSelectedAgainWithoutDownloadingWhateverTheFileOrder) {
    const SampleRelease release = makeSampleRelease("r1");
    for (const auto& order : {std::vector<std::string>{}, reversedPaths()}) {
        SCOPED_TRACE(order.empty() ? "the same order" : "another order");
        InstallRoot run;
        run.installEarlier(release);
        const std::string saved = readFile(run.root / "releases/r1/installed-manifest.json");
        const ino_t recordBefore = lstatOf(run.root / "current.json").st_ino;
        run.network.publish(release, release.manifestJson(order));

        const PreparedClient client = run.prepare();

        EXPECT_EQ(client.executable, run.entrypoint("r1"));
        EXPECT_FALSE(client.usedPrevious);
        EXPECT_EQ(run.network.requests, std::vector<std::string>{BootstrapPolicy::manifestURL});
        EXPECT_EQ(run.reports, (std::vector<StatusReport>{checkingForUpdates, checkingInstalled}));
        EXPECT_NE(lstatOf(run.root / "current.json").st_ino, recordBefore) << "the selection was not committed again";
        EXPECT_EQ(readFile(run.root / "releases/r1/installed-manifest.json"), saved);
    }
}

TEST(InstalledRelease, IsRefusedWhenItsSavedManifestDescribesOtherContent) {
    const SampleRelease release = makeSampleRelease("r1");
    SampleRelease otherDigest = release;
    otherDigest.contents.at(BootstrapPolicy::app + "/Contents/PkgInfo")[0] ^= 1;  // same size
    const std::pair<const char*, std::string> savedManifests[] = {
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
        EXPECT_EQ(readFile(run.root / "current.json"), record);
        EXPECT_EQ(readFile(run.root / "releases/r1/installed-manifest.json"), saved);
    }
}

TEST(InstalledRelease, ThatACommitFailureLeftInPlaceIsSelectedByTheNextRun) {
    InstallRoot run;
    const SampleRelease release = makeSampleRelease("r1");
    // A directory where the record goes: the release is moved into place, then the record
    // cannot be replaced.
    fs::create_directories(run.root / "current.json");
    run.network.publish(release);

    EXPECT_TRUE(throwsSystemError([&] { run.prepare(); }, EISDIR, run.root / "current.json"));
    EXPECT_EQ(readFile(run.entrypoint("r1")), release.contents.at(BootstrapPolicy::entrypoint))
        << "the moved release did not stay in place";
    EXPECT_EQ(stagingLeftovers(run.root), std::vector<std::string>{});

    fs::remove(run.root / "current.json");
    run.reports.clear();
    const PreparedClient client = run.prepare();

    EXPECT_EQ(client.executable, run.entrypoint("r1"));
    EXPECT_FALSE(client.usedPrevious);
    EXPECT_EQ(run.reports, (std::vector<StatusReport>{checkingForUpdates, checkingInstalled}));
    EXPECT_EQ(decodeJson<CurrentRelease>(readFile(run.root / "current.json")).release, "r1");
}

} // namespace
} // namespace korvel::testing
