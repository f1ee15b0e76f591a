// The launcher as a whole process, where the faults are: a power loss during an update (checked
// on a system-call trace), resource limits, descriptors that reach children, deep planted trees.
#include <cctype>
#include <cstdlib>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "launcher/game_process.h"
#include "tests/installer/install_root.h"
#include "tests/servers/child_process.h"
#include "transport/signature_check.h"

namespace korvel::test {
namespace {

namespace fs = std::filesystem;

bool within(const std::string& path, const std::string& dir) { return path == dir || path.starts_with(dir + "/"); }

// The text between the first open at or after from and the close that follows; from moves past it.
std::string between(const std::string& text, std::size_t& from, char open, char close) {
    const std::size_t begin = text.find(open, from) + 1;
    from = text.find(close, begin) + 1;
    return text.substr(begin, from - begin - 1);
}

// Replays a trace of an update (strace -f -y -z: successful calls alone, each on one line) on a
// model of what a power loss could still take away, each item until an fsync of what flushes
// it: what a write, a mode change or a new directory changed (flushed with that file or
// directory) and its entry (flushed with its directory; a written file counts as new). Answers
// every rename that moved something not flushed yet, a commit of the selection before
// everything under releases/ was flushed, and a commit that no flush of the root followed.
std::set<std::string> persistenceFaults(const std::string& trace, const fs::path& root) {
    const std::string record = (root / "current.json").string(), releases = (root / "releases").string();
    std::set<std::pair<std::string, std::string>> unflushed;  // {what an fsync of flushes it, what it is}
    std::set<std::string> faults;
    bool committed = false;
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {  // "<pid> <name>(<arguments>) = <result>"
        std::size_t at = line.find('(');
        const std::string name = line.substr(line.rfind(' ', at) + 1, at - line.rfind(' ', at) - 1);
        // The file of its first descriptor, else its first path argument; a rename's second one after it.
        const std::string path = std::isdigit(line[at + 1]) ? between(line, at, '<', '>') : between(line, at, '"', '"');
        if (name == "fsync") {
            std::erase_if(unflushed, [&](const auto& item) { return item.first == path; });
        } else if (!name.starts_with("rename")) {
            unflushed.insert({{path, path}, {fs::path(path).parent_path(), path}});
        } else {
            const std::string target = between(line, at, '"', '"');
            for (const auto& [flusher, item] : unflushed) {
                if (within(flusher, path)) {
                    faults.insert(path + " renamed before " + item + " was flushed");
                }
                if (target == record && within(item, releases)) {
                    faults.insert("current.json committed before " + item + " was flushed");
                }
            }
            unflushed.insert({fs::path(target).parent_path(), target});
            committed = committed || target == record;
        }
    }
    if (!committed || unflushed.contains({root.string(), record})) {
        faults.insert(committed ? "the root was not flushed after the commit" : "nothing was committed");
    }
    return faults;
}

TEST(FlushOrder, AnUpdateFlushesWhatEachRenameAndTheCommitDependOnFirst) {
    const TempDir temp;
    const fs::path root = temp / "root", trace = temp / "trace";
    // Through env, which answers 127 where strace is missing. LeakSanitizer cannot run under a tracer.
    const ChildResult update = runChild({"env", "strace", "-f", "-qq", "-y", "-z", "-e", "signal=none", "-e",
                                         "trace=/write|chmod|mkdir|fsync|rename", "-o", trace, "-E",
                                         "ASAN_OPTIONS=detect_leaks=0", KORVEL_RELIABILITY_CHILD, "update", root});
    if (!fs::exists(trace) || fs::is_empty(trace)) {
        const std::string why = "strace (scripts/install-deps installs it) cannot trace here: " + update.errors;
        ASSERT_EQ(std::getenv("CI"), nullptr) << why;
        GTEST_SKIP() << why;
    }
    ASSERT_EQ(update.exitStatus, 0) << "the update failed: " << update.errors;
    EXPECT_EQ(persistenceFaults(readFile(trace), root), std::set<std::string>{});
}

// A limit that leaves no room for the preparation's thread, or for a release file, ends the
// first run in the one alert with the platform's error, not in SIGABRT or SIGXFSZ. (RLIMIT_NPROC
// would fail the thread as well, but root is exempt from it, and where no thread at all can
// start, Qt's own painting waits for ever for its pool.)
TEST(ResourceLimits, EndInTheFailureAlertRatherThanASignal) {
    const std::pair<std::string, std::string> rows[] = {  // the limit, then the exit status and what was printed
        {"file-size", "0 alert: File too large\n"},
#if !defined(__SANITIZE_ADDRESS__)  // AddressSanitizer's own mappings need more room than any limit leaves
        {"address-space", "0 alert: Resource temporarily unavailable\n"},
#endif
    };
    for (const auto& [limit, outcome] : rows) {
        const TempDir temp;
        const ChildResult launcher = runChild({KORVEL_RELIABILITY_CHILD, "launcher", temp / "root", limit});
        EXPECT_EQ(std::to_string(launcher.exitStatus) + " " + launcher.output, outcome) << limit << launcher.errors;
    }
}

// A descriptor the launcher's parent left open reaches neither child; the signature tool holds
// the update lock, the game nothing but its standard streams.
TEST(ChildDescriptors, AreTheStandardStreamsAndForTheSignatureToolTheUpdateLock) {
    const UniqueFd planted(::open("/dev/null", O_RDONLY));  // inheritable, as a parent's would be
    InstallRoot run;
    const fs::path report = run.temp / "descriptors";
    ::setenv("DESCRIPTOR_REPORT", report.c_str(), 1);
    run.refusesSignature = [](const fs::path& app) { verifyAppSignature(KORVEL_RELIABILITY_CHILD, app); return false; };
    run.offer(sampleRelease("r1"));
    ASSERT_EQ(run.prepare(), "");
    EXPECT_EQ(readFile(report), "0 1 2 3:" + (run.root / "update.lock").string()) << "signature tool";
    EXPECT_EQ(waitForExit(startGame(KORVEL_RELIABILITY_CHILD, {"DESCRIPTOR_REPORT=" + report.string()})), 0);
    EXPECT_EQ(readFile(report), "0 1 2") << "game";
}

// A chain of 2,000 directories planted in the installed release is walked once: a check of every
// path up to the root took minutes at this depth. What lies at its bottom decides.
TEST(DeepTree, VerificationGivesTheVerdictOfWhatLiesAtTheBottom) {
    InstallRoot run;
    run.offer(sampleRelease("r1"));
    ASSERT_EQ(run.prepare(), "");
    // Through descriptors: the bottom lies deeper than a path may be long.
    std::string chain = BootstrapPolicy::app + "/Contents/Resources/";
    UniqueFd bottom = openFile(run.root / "releases/r1" / chain, O_RDONLY | O_DIRECTORY);
    for (int depth = 0; depth < 2000; ++depth, chain += "d/") {
        ASSERT_EQ(::mkdirat(bottom.get(), "d", 0700), 0);
        bottom = UniqueFd(::openat(bottom.get(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    const std::pair<std::function<void(int bottom)>, std::string> rows[] = {  // planted in turn in the same tree
        {[](int) {}, ""},
        {[](int at) { UniqueFd(::openat(at, "x", O_CREAT | O_WRONLY | O_CLOEXEC, 0644)); },
         "An installed release contains an unexpected file: " + chain + "x"},
        {[](int at) { EXPECT_EQ(::unlinkat(at, "x", 0) + ::symlinkat("..", at, "x"), 0); },
         "An installation path is a symbolic link; no files were changed."},
    };
    for (const auto& [plant, outcome] : rows) {
        plant(bottom.get());
        EXPECT_EQ(run.prepare(), outcome);
    }
    runChild({"rm", "-rf", run.root});  // removing by paths would exceed their length limit
}

} // namespace
} // namespace korvel::test
