#include <sys/file.h>
#include <sys/stat.h>

#include <filesystem>
#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/installer/install_root.h"

namespace korvel::test {
namespace {

namespace fs = std::filesystem;

const std::string linked = "An installation path is a symbolic link; no files were changed.";
const std::string failedDownload =
    "A game download failed its size or SHA-256 check. The previous version is unchanged.";
const std::string failedVerification = "A downloaded or installed game file failed verification.";
const std::string contents = "Korvel_Online_Beta.app/Contents/";

void flipByteOf(const fs::path& file) {
    std::string bytes = readFile(file);
    bytes[bytes.size() / 2] ^= 1;
    writeFile(file, bytes);
}

// A symbolic link at path in the root, to a directory outside it.
void linkOut(InstallRoot& run, const std::string& path) {
    fs::create_directories((run.root / path).parent_path());
    fs::create_directory(run.temp / "elsewhere");
    fs::create_symlink(run.temp / "elsewhere", run.root / path);
}

// Every row is one launcher run after an earlier run may have installed r0 (or r1) and the
// network may offer r1, with one more change. Whatever happens, on every row: the selection
// changed only if the new release started; no staging directory, staged manifest or temporary
// file is left; a release that was not in place before is in place only complete and intact;
// the fallback status comes exactly when the earlier release is used.
TEST(Prepare, InstallsTheOfferedReleaseOrFallsBackToTheVerifiedEarlierOne) {
    const SampleRelease r0 = sampleRelease("r0");
    const SampleRelease r1 = sampleRelease("r1");
    const std::string pkgInfo = r1.files()[3].url;
    using Change = std::function<void(InstallRoot&)>;
    const Change wrongByte = [&](InstallRoot& run) { run.network[pkgInfo][3] ^= 1; };
    const Change unsignedUpdate = [](InstallRoot& run) {
        run.refusesSignature = [](const fs::path& app) { return app.string().find("/.stage-") != std::string::npos; };
    };
    const Change otherLauncher = [](InstallRoot& run) {
        run.otherLauncher = openFile(run.root / "update.lock", O_RDONLY);
        ASSERT_EQ(::flock(run.otherLauncher.get(), LOCK_SH), 0);
    };
    const struct {
        const char* name;
        const SampleRelease* earlier;  // installed and selected by an earlier run
        int offered;                   // the schema of r1's manifest on the network; 0: no network
        Change change;
        std::string outcome;
        std::string started;
        bool usedPrevious;
    } rows[] = {
        {"first run", nullptr, 1, {}, "", "r1", false},
        {"first run, no network", nullptr, 0, {}, "curl 7", "", false},
        {"first run, a refused manifest", nullptr, 2, {}, "Unsupported online beta release manifest.", "", false},
        {"first run, a file with a wrong byte", nullptr, 1, wrongByte, failedDownload, "", false},
        {"first run, the selection record's place taken", nullptr, 1,
         [](auto& run) { fs::create_directories(run.root / "current.json"); }, "EISDIR current.json", "", false},
        {"no network", &r0, 0, {}, "", "r0", true},
        {"a refused manifest", &r0, 2, {}, "", "r0", true},
        {"a file with a wrong byte", &r0, 1, wrongByte, "", "r0", true},
        {"a refused signature", &r0, 1, unsignedUpdate, "", "r0", true},
        {"no network, the earlier release changed", &r0, 0,
         [](auto& run) { writeFile(run.root / "releases/r0" / contents / "PkgInfo", "x"); }, "curl 7", "", false},
        {"the offered release installed already", &r1, 1, {}, "", "r1", false},
        {"a file added to the installed release", &r1, 1,
         [](auto& run) { writeFile(run.root / "releases/r1" / contents / "extra", ""); },
         "An installed release contains an unexpected file: " + contents + "extra", "", false},
        {"the installed release's saved manifest another one's", &r1, 1,
         [&](auto& run) { writeFile(run.root / "releases/r1/installed-manifest.json", encodeJson(r0.manifest())); },
         "An existing release name was reused for different content.", "", false},
        {"another launcher updating", &r0, 1, otherLauncher,
         "Another Korvel launcher is updating. Wait for it to finish.", "", false},
        {"the update lock a link", nullptr, 1, [](auto& run) { linkOut(run, "update.lock"); }, linked, "", false},
        {"the releases directory a link", nullptr, 1, [](auto& run) { linkOut(run, "releases"); }, linked, "", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        InstallRoot run;
        if (row.earlier != nullptr) {
            run.installEarlier(*row.earlier);
        }
        if (row.offered != 0) {
            run.offer(r1, row.offered);
        }
        if (row.change) {
            row.change(run);
        }
        const std::string selectionBefore = run.selection();
        const bool r1Before = fs::exists(fs::symlink_status(run.root / "releases/r1"));
        run.statuses.clear();

        EXPECT_EQ(run.prepare(), row.outcome);

        EXPECT_EQ(run.started(), row.started);
        EXPECT_EQ(run.client.usedPrevious, row.usedPrevious);
        const bool updated = !row.started.empty() && !row.usedPrevious;
        EXPECT_EQ(run.selection(), updated ? encodeJson(CurrentRelease{1, row.started}) : selectionBefore);
        std::error_code noRoot;
        for (fs::directory_iterator it(run.root, noRoot), end; it != end; ++it) {
            EXPECT_FALSE(it->path().filename().string().starts_with(".")) << "left behind: " << it->path();
        }
        const bool r1Now = fs::exists(fs::symlink_status(run.root / "releases/r1"));
        for (const auto& [path, bytes] : r1.contents) {
            EXPECT_TRUE(r1Before || !r1Now || readFile(run.root / "releases/r1" / path) == bytes) << path;
        }
        const std::string fallingBack = "Update unavailable. Starting the verified installed game…";
        EXPECT_EQ(!run.statuses.empty() && run.statuses.back().first == fallingBack, row.usedPrevious);
    }
}

fs::perms modeOf(const fs::path& path) { return fs::symlink_status(path).permissions(); }

// A first run makes every directory private whatever the umask, gives each file its mode, and
// fetches and reports the files one by one in manifest order.
TEST(Prepare, LaysOutTheReleasePrivately) {
    const SampleRelease release = sampleRelease("r1", 10000);
    InstallRoot run;
    run.offer(release);
    const mode_t umask = ::umask(0277);
    EXPECT_EQ(run.prepare(), "");
    ::umask(umask);

    for (const auto& [path, bytes] : release.contents) {
        const auto mode = fs::perms(BootstrapPolicy::executables.contains(path) ? 0755 : 0644);
        EXPECT_EQ(modeOf(run.root / "releases/r1" / path), mode) << path;
    }
    for (const auto& entry : fs::recursive_directory_iterator(run.temp.path())) {
        EXPECT_TRUE(!entry.is_directory() || modeOf(entry.path()) == fs::perms(0700)) << entry.path();
    }
    EXPECT_EQ(modeOf(run.root / "current.json"), fs::perms(0600));
    EXPECT_EQ(readFile(run.root / "releases/r1/installed-manifest.json"), run.network[BootstrapPolicy::manifestURL]);
    std::vector<std::string> requests = {BootstrapPolicy::manifestURL};
    for (const ReleaseFile& file : release.files()) {
        requests.push_back(file.url);
    }
    EXPECT_EQ(run.requests, requests);
    EXPECT_EQ(run.statuses.at(1).first, "Installing game 1 of 12…");
    EXPECT_EQ(run.statuses.back(), std::make_pair(std::string("Installing game 12 of 12…"), 1.0));
}

// Verification hashes on several threads, the largest file first, yet refuses with the error a
// file-by-file pass in manifest order meets first: for faults i before j, the outcome with both
// is the outcome with i alone.
TEST(Prepare, RefusesAChangedInstalledReleaseWithItsFirstFaultInManifestOrder) {
    const auto remove = [](const fs::path& file) { fs::remove(file); };
    const struct {
        std::string path;  // under Contents/, in manifest order
        std::function<void(const fs::path&)> change;
        std::string outcome;
    } faults[] = {
        {"MacOS/KorvelEngine", [](auto& file) { fs::permissions(file, fs::perms(0644)); }, failedVerification},
        {"PkgInfo", remove, "ENOENT releases/r1/" + contents + "PkgInfo"},
        {"Resources/AUDIO_LICENSES.json", flipByteOf, failedVerification},
        {"Resources/Korvel_Online.pck", flipByteOf, failedVerification},
        {"Resources/PrivacyInfo.xcprivacy",
         [](auto& file) {
             fs::remove(file);
             fs::create_directory(file);
         },
         failedVerification},
        {"Resources/online.json", remove, "ENOENT releases/r1/" + contents + "Resources/online.json"},
        {"_CodeSignature/CodeResources", [](auto& file) { writeFile(file, readFile(file) + "x"); }, failedVerification},
    };
    // Several MiB, so that the pack is still being hashed when the small files are done.
    const SampleRelease release = sampleRelease("r1", 4 << 20);
    InstallRoot installed;
    installed.installEarlier(release);
    const auto outcomeWith = [&](std::initializer_list<std::size_t> chosen) {
        InstallRoot run;
        fs::create_directories(run.root.parent_path());
        fs::copy(installed.root, run.root, fs::copy_options::recursive);
        for (const std::size_t fault : chosen) {
            faults[fault].change(run.root / "releases/r1" / contents / faults[fault].path);
        }
        run.offer(release);
        return run.prepare();
    };
    for (std::size_t i = 0; i < std::size(faults); ++i) {
        EXPECT_EQ(outcomeWith({i}), faults[i].outcome) << faults[i].path;
        for (std::size_t j = i + 1; j < std::size(faults); ++j) {
            EXPECT_EQ(outcomeWith({i, j}), faults[i].outcome) << faults[i].path << " before " << faults[j].path;
        }
    }
}

// The installer's options, all on, as the launcher runs it. Each row is a run after r0 was
// installed and selected, offering r1, which shares r0's pack; on every row the run starts r1.
TEST(Prepare, WithItsOptionsReusesRemovesLeftoversPrunesAndRepairs) {
    const SampleRelease r0 = sampleRelease("r0", 8192);
    const SampleRelease r1 = sampleRelease("r1", 8192);
    const std::string pack = contents + "Resources/Korvel_Online.pck";
    const struct {
        const char* name;
        std::function<void(InstallRoot&)> change;
        std::string downloads;  // how many release files were downloaded, and whether the pack was
    } rows[] = {
        {"the shared pack reused", [](auto&) {}, "11"},
        {"a reuse source altered on disk", [&](auto& run) { flipByteOf(run.root / "releases/r0" / pack); },
         "12 with the pack"},
        {"a reuse source a link", [&](auto& run) {
             fs::rename(run.root / "releases/r0" / pack, run.temp / "pack");
             fs::create_symlink(run.temp / "pack", run.root / "releases/r0" / pack);
         }, "12 with the pack"},
        {"a reuse source a FIFO", [&](auto& run) {
             fs::remove(run.root / "releases/r0" / pack);
             ::mkfifo((run.root / "releases/r0" / pack).c_str(), 0644);
         }, "12 with the pack"},
        {"leftovers of stopped runs, and a link among them", [](auto& run) {
             fs::create_directories(run.root / ".stage-x/a");
             writeFile(run.root / "partial-downloads/0123", "x");
             writeFile(run.root / ".manifest-y.json", "{}");
             linkOut(run, ".stage-link");
             writeFile(run.temp / "elsewhere/kept", "k");
         }, "11"},
        {"older releases and a link in releases/", [&](auto& run) {
             fs::copy(run.root / "releases/r0", run.root / "releases/old", fs::copy_options::recursive);
             linkOut(run, "releases/zlink");
             writeFile(run.temp / "elsewhere/kept", "k");
         }, "11"},
        {"the offered release in place with one byte damaged, as is r0's copy", [&](auto& run) {
             run.offer(r1);
             run.prepare();
             flipByteOf(run.root / "releases/r1" / pack);
             flipByteOf(run.root / "releases/r0" / pack);
         }, "1 with the pack"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        InstallRoot run;
        run.options = {true, true, true, true, {}};
        run.installEarlier(r0);
        row.change(run);
        run.offer(r1);
        run.requests.clear();
        EXPECT_EQ(run.prepare(), "");
        EXPECT_EQ(run.started(), "r1");
        const bool packDownloaded = std::find(run.requests.begin(), run.requests.end(), r1.files()[6].url) != run.requests.end();
        EXPECT_EQ(std::to_string(run.requests.size() - 1) + (packDownloaded ? " with the pack" : ""), row.downloads);
        std::set<std::string> releases;
        for (const auto& entry : fs::directory_iterator(run.root / "releases")) {
            releases.insert(entry.path().filename());
        }
        EXPECT_EQ(releases, (std::set<std::string>{"r0", "r1"})) << "only the new release and the one it replaced";
        EXPECT_TRUE(!fs::exists(run.temp / "elsewhere") || fs::exists(run.temp / "elsewhere/kept"));
        EXPECT_FALSE(fs::exists(run.root / "partial-downloads"));
        run.network.clear();
        EXPECT_EQ(run.prepare(), "") << "the release in place verifies";
    }
}

} // namespace
} // namespace korvel::test
