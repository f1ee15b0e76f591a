// The launcher as a whole process, where the faults are: a power loss during an update (checked
// on a system-call trace), resource limits, descriptors that reach children, deep planted trees.
#include <cctype>
#include <set>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "base/process.h"
#include "base/unique_fd.h"
#include "launcher/game_process.h"
#include "policy/bootstrap_policy.h"
#include "tests/support/expect_error.h"
#include "tests/support/installer_sandbox.h"
#include "tests/support/sample_release.h"
#include "transport/signature_check.h"

namespace korvel::testing {
namespace {

namespace fs = std::filesystem;

// Runs argv (argv[0] looked up in PATH) to its end, both output streams into output; answers
// its wait status.
int runToEnd(const std::vector<std::string>& argv, const fs::path& output) {
    const UniqueFd out = openFile(output, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    return waitForExit(startProcess(argv.front(), {argv.begin() + 1, argv.end()},
                                    {nullptr, out.get(), out.get(), /*searchPath=*/true}));
}

// The paths a call names (strace -y): the file its first descriptor stands for, else its quoted
// arguments.
std::vector<std::string> namedPaths(const std::string& call) {
    const std::size_t arguments = call.find('(') + 1;
    if (std::isdigit(static_cast<unsigned char>(call[arguments]))) {
        return {call.substr(call.find('<') + 1, call.find('>') - call.find('<') - 1)};
    }
    std::vector<std::string> quoted;
    for (std::size_t at = call.find('"'); at != std::string::npos; at = call.find('"', call.find('"', at + 1) + 1)) {
        quoted.push_back(call.substr(at + 1, call.find('"', at + 1) - at - 1));
    }
    return quoted;
}

// Replays a trace of the update's thread on a model of what a power loss could still take away:
// the data and mode of files, and entries in directories (named by their path; a written file
// counts as new), each until an fsync of that file or directory. Answers every rename and commit
// that depended on something not flushed yet.
std::set<std::string> persistenceFaults(const std::string& trace, const fs::path& root) {
    std::set<std::string> data, entries, faults;
    const std::string record = (root / "current.json").string(), releases = (root / "releases").string();
    const auto under = [](const std::string& path, const std::string& dir) { return path.starts_with(dir + "/"); };
    bool committed = false, rootFlushAwaited = false;
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
        const std::string call = line.substr(line.find_first_not_of(' ', line.find(' ')));
        const std::vector<std::string> paths = namedPaths(call);
        if (call.find(" = -1 ") != std::string::npos || paths.empty()) {
            continue;
        }
        const std::string name = call.substr(0, call.find('(')), &path = paths.front();
        if (name == "fsync") {
            data.erase(path);
            std::erase_if(entries, [&](const std::string& entry) { return fs::path(entry).parent_path() == path; });
            rootFlushAwaited = rootFlushAwaited && path != root.string();
        } else if (!name.starts_with("rename")) {  // a write, a mode change or a new directory
            if (!name.starts_with("mkdir")) {
                data.insert(path);
            }
            if (name.find("chmod") == std::string::npos) {
                entries.insert(path);
            }
        } else if (paths.size() == 2) {
            // What moves with the rename must be flushed already, so the model forgets it.
            for (std::set<std::string>* unflushed : {&data, &entries}) {
                for (const std::string& item : *unflushed) {
                    if ((item == path && unflushed == &data) || under(item, path)) {
                        faults.insert(path + " renamed before " + item + " was flushed");
                    }
                    if (paths[1] == record && (item == releases || under(item, releases))) {
                        faults.insert("current.json committed before " + item + " was flushed");
                    }
                }
                std::erase_if(*unflushed, [&](const std::string& item) { return item == path || under(item, path); });
            }
            entries.insert(paths.begin(), paths.end());
            committed = committed || paths[1] == record;
            rootFlushAwaited = rootFlushAwaited || paths[1] == record;
        }
    }
    if (!committed || rootFlushAwaited) {
        faults.insert(committed ? "the root was not flushed after the commit" : "nothing was committed");
    }
    return faults;
}

TEST(FlushOrder, AnUpdateFlushesWhatEachRenameAndTheCommitDependOnFirst) {
    const TempDir temp;
    const fs::path root = temp / "root", trace = temp / "trace";
    int status = -1;
    try {  // LeakSanitizer cannot run under a tracer
        status = runToEnd({"strace", "-f", "-qq", "-y", "-o", trace, "-E", "ASAN_OPTIONS=detect_leaks=0", "-e",
                           "trace=write,pwrite64,writev,chmod,fchmod,fchmodat,mkdir,mkdirat,fsync,rename,renameat,"
                           "renameat2", KORVEL_RELIABILITY_CHILD, "update", root},
                          temp / "output");
    } catch (const std::exception&) {
        // no strace: told by the missing trace
    }
    if (!fs::exists(trace) || fs::is_empty(trace)) {
        const char* why = "strace cannot trace the update here (scripts/install-deps installs it)";
        ASSERT_EQ(std::getenv("CI"), nullptr) << why;
        GTEST_SKIP() << why;
    }
    ASSERT_EQ(status, 0) << "the update failed: " << readFile(temp / "output");
    EXPECT_EQ(persistenceFaults(readFile(trace), root), std::set<std::string>{});
}

// A limit that leaves no room for the preparation's thread, or for a release file, ends the
// first run in the one alert with the platform's error, not in SIGABRT or SIGXFSZ, and leaves no
// staging directory behind. (RLIMIT_NPROC would fail the thread as well, but root is exempt from
// it, and where no thread at all can start, Qt's own painting waits for ever for its pool.)
TEST(ResourceLimits, EndInTheFailureAlertRatherThanASignal) {
    const struct {
        const char* limit;
        const char* alert;
    } cases[] = {
        {"address-space", "alert: Resource temporarily unavailable\n"},
        {"file-size", "alert: File too large: "},
    };
    for (const auto& row : cases) {
#if defined(__SANITIZE_ADDRESS__)
        if (row.limit == std::string("address-space")) {
            continue;  // AddressSanitizer's own mappings need more room than any limit leaves
        }
#endif
        const TempDir temp;
        const int status = runToEnd({KORVEL_RELIABILITY_CHILD, "launcher", temp / "root", row.limit}, temp / "output");
        const std::string output = readFile(temp / "output");
        EXPECT_EQ(status, 0) << row.limit << ": wait status " << status;  // not a signal
        EXPECT_NE(output.find(row.alert), std::string::npos) << row.limit << ": " << output;
        std::error_code noRoot;  // none when the preparation never started
        for (const auto& entry : fs::directory_iterator(temp / "root", noRoot)) {
            EXPECT_FALSE(entry.path().filename().string().starts_with(".stage-")) << row.limit;
        }
    }
}

// A descriptor the launcher's parent left open reaches neither child; the signature tool holds
// the update lock, the game nothing but its standard streams.
TEST(ChildDescriptors, AreTheStandardStreamsAndForTheSignatureToolTheUpdateLock) {
    const TempDir temp;
    const UniqueFd planted(::open("/dev/null", O_RDONLY));  // inheritable, as a parent's would be
    const fs::path report = temp / "descriptors";
    ::setenv("DESCRIPTOR_REPORT", report.c_str(), 1);
    const std::string streams = ::fcntl(STDIN_FILENO, F_GETFD) >= 0 ? "0 1 2" : "1 2";

    InstallerSandbox sandbox;  // no network: the update falls back to the release below
    makeSampleRelease("r1").writeTo(sandbox.root / "releases/r1");
    sandbox.access.commit("r1");
    sandbox.signatureCheck = [](const fs::path& app) { verifyAppSignature(KORVEL_RELIABILITY_CHILD, app); };
    ASSERT_TRUE(sandbox.installer.prepare().usedPrevious);
    EXPECT_EQ(readFile(report), streams + " 3:" + (sandbox.root / "update.lock").string()) << "signature tool";

    EXPECT_EQ(waitForExit(startGame(KORVEL_RELIABILITY_CHILD, {"DESCRIPTOR_REPORT=" + report.string()})), 0);
    EXPECT_EQ(readFile(report), streams) << "game";
}

// A chain of 2,000 empty directories planted in an installed release is walked once: a check of
// every path up to the root took minutes at this depth. What lies at its bottom decides.
TEST(DeepTree, VerificationGivesTheVerdictOfWhatLiesAtTheBottom) {
    constexpr int depth = 2000;
    const SampleRelease release = makeSampleRelease("r1");
    InstallerSandbox sandbox;
    const fs::path dir = sandbox.root / "releases/r1";
    release.writeTo(dir);
    // Through descriptors: the bottom lies deeper than a path may be long.
    UniqueFd level = openFile(dir / BootstrapPolicy::app / "Contents/Resources", O_RDONLY | O_DIRECTORY);
    std::string chain = BootstrapPolicy::app + "/Contents/Resources/";
    for (int made = 0; made < depth; ++made, chain += "d/") {
        ASSERT_EQ(::mkdirat(level.get(), "d", 0700), 0);
        level = UniqueFd(::openat(level.get(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    using Plant = void (*)(int bottom);
    const struct {
        Plant plant;          // applied in turn to the same tree
        std::string message;  // "" when the release is still accepted
    } cases[] = {
        {[](int) {}, ""},
        {[](int bottom) { UniqueFd(::openat(bottom, "x", O_CREAT | O_WRONLY | O_CLOEXEC, 0644)); },
         "An installed release contains an unexpected file: " + chain + "x"},
        {[](int bottom) { ::unlinkat(bottom, "x", 0); ::symlinkat("..", bottom, "x"); },
         "An installation path is a symbolic link; no files were changed."},
    };
    for (const auto& row : cases) {
        row.plant(level.get());
        EXPECT_TRUE(throwsBootstrapError([&] { sandbox.access.verify(dir, release.manifest()); }, row.message));
    }
    // Taken down from the bottom: a removal from the top holds a descriptor for every level.
    ::unlinkat(level.get(), "x", 0);
    for (int removed = 0; removed < depth; ++removed) {
        level = UniqueFd(::openat(level.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ::unlinkat(level.get(), "d", AT_REMOVEDIR);
    }
}

} // namespace
} // namespace korvel::testing
