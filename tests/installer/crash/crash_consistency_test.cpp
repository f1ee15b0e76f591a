// Kills a real launcher process at every point of an update it can be killed at, and checks
// that the next run without network still starts a verified game (the old release or the
// new one), and that the run after that, with network, ends on the new release.
//
// Points come from two sweeps. The child itself dies at the Nth call of an injected operation
// (a download starting, a progress report half-way through a file, the signature check). strace
// kills it on entry to the Nth occurrence of a system call that reads or changes the install
// root; since every change on disk is such a call, killing on entry to each of them covers
// every state between two changes, the ones inside commit and around the rename included.

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include <sys/wait.h>

#include <gtest/gtest.h>

#include "policy/bootstrap_policy.h"
#include "tests/installer/crash/crash_markers.h"
#include "tests/installer/stub_operations.h"
#include "tests/servers/child_process.h"
#include "tests/support/installer_access.h"

namespace korvel::testing {
namespace {

namespace fs = std::filesystem;

// The system calls through which an update reads or changes the install root. Names this
// architecture lacks simply never match.
const std::string sweptCalls =
    "openat|open|creat|write|pwrite64|writev|rename|renameat|renameat2|mkdir|mkdirat|unlink|unlinkat|rmdir|"
    "fsync|fdatasync|chmod|fchmod|fchmodat|flock|ftruncate|link|linkat|symlink|symlinkat";
const std::string markerCalls = "access|faccessat|faccessat2";

// Runs a command to its end; whether SIGKILL ended it. Its output goes to the test's.
bool killedWhileRunning(const std::vector<std::string>& command) {
    ChildProcess child(command);
    const int status = child.wait();
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

// What the kill points of one sweep left behind.
struct Tally {
    int points = 0;
    int olderStarted = 0;
    int newerStarted = 0;
    int withoutGame = 0;
    int unrepaired = 0;
    std::vector<std::string> failures;

    void fail(const std::string& point, const std::string& problem) { failures.push_back(point + ": " + problem); }

    void report(const char* sweep) const {
        std::cout << "[ crash    ] " << sweep << ": " << points << " kill points; next run started the old release "
                  << olderStarted << " times, the new one " << newerStarted << " times; left without a startable game: "
                  << withoutGame << "; not repaired by the next online run: " << unrepaired << std::endl;
        ::testing::Test::RecordProperty("killPoints", points);
        ::testing::Test::RecordProperty("withoutStartableGame", withoutGame);
        for (std::size_t i = 0; i < failures.size() && i < 20; ++i) {
            ADD_FAILURE() << failures[i];
        }
    }
};

// An install root where an earlier run installed and selected release r1, and a server that
// now offers release r2. Each kill point runs on its own copy of that root.
class CrashScenario {
public:
    CrashScenario() {
        newer.publishFiles(served);
        writeFile(served / "online-beta/manifest.json", newer.manifestJson());
        StubNetwork network;
        network.publish(older);
        StubSignatureCheck signature;
        OnlineInstaller(earlierRoot, network.operation(), signature.operation()).prepare();
    }

    fs::path freshRoot() {
        const fs::path root = temp / ("run-" + std::to_string(++runs));
        fs::copy(earlierRoot, root, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        return root;
    }

    std::vector<std::string> childCommand(const fs::path& root) const {
        return {KORVEL_CRASH_CHILD, root.string(), served.string()};
    }

    // The child was killed at point; the next two runs must cope with what it left.
    void judge(const fs::path& root, const std::string& point, Tally& tally) const {
        ++tally.points;
        judgeOffline(root, point, tally);
        judgeOnline(root, point, tally);
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    TempDir temp;
    const SampleRelease older = makeSampleRelease("r1", 3000);
    const SampleRelease newer = makeSampleRelease("r2", 5000);
    const fs::path served = temp / "served";
    const fs::path earlierRoot = temp / "earlier";

private:
    // Without network the player gets a release that verifies: the old one or the new one.
    void judgeOffline(const fs::path& root, const std::string& point, Tally& tally) const {
        StubNetwork offline;
        StubSignatureCheck signature;
        OnlineInstaller next(root, offline.operation(), signature.operation());
        try {
            const PreparedClient client = next.prepare();
            for (const SampleRelease* release : {&older, &newer}) {
                const fs::path directory = root / "releases" / release->name;
                if (client.executable == directory / BootstrapPolicy::entrypoint && client.usedPrevious) {
                    OnlineInstallerTestAccess(next).verify(directory, release->manifest());
                    ++(release == &older ? tally.olderStarted : tally.newerStarted);
                    return;
                }
            }
            ++tally.withoutGame;
            tally.fail(point, "the offline run would start " + client.executable.string());
        } catch (const std::exception& error) {
            ++tally.withoutGame;
            tally.fail(point, std::string("the offline run found no startable game: ") + error.what());
        }
    }

    // Back online, the update completes, reusing whatever the killed run left in place.
    void judgeOnline(const fs::path& root, const std::string& point, Tally& tally) const {
        StubNetwork online;
        online.publish(newer);
        StubSignatureCheck signature;
        try {
            const PreparedClient client = OnlineInstaller(root, online.operation(), signature.operation()).prepare();
            if (client.executable != root / "releases" / newer.name / BootstrapPolicy::entrypoint ||
                client.usedPrevious) {
                ++tally.unrepaired;
                tally.fail(point, "the online run would start " + client.executable.string());
            }
        } catch (const std::exception& error) {
            ++tally.unrepaired;
            tally.fail(point, std::string("the online run failed: ") + error.what());
        }
    }

    int runs = 0;
};

TEST(CrashConsistency, KillsAtEveryInjectedOperationCallLeaveAStartableGame) {
    CrashScenario scenario;
    ChildProcess uninterrupted(scenario.childCommand(scenario.freshRoot()), true);
    std::istringstream printed(uninterrupted.readLine());
    std::string word;
    long calls = 0;
    printed >> word >> calls;
    ASSERT_EQ(word, "calls") << printed.str();
    ASSERT_GT(calls, 12) << "fewer calls than a release has files";

    Tally tally;
    for (long call = 1; call <= calls; ++call) {
        const std::string point = "call " + std::to_string(call);
        const fs::path root = scenario.freshRoot();
        std::vector<std::string> command = scenario.childCommand(root);
        command.push_back(std::to_string(call));
        if (!killedWhileRunning(command)) {
            tally.fail(point, "the child was not killed");
            continue;
        }
        scenario.judge(root, point, tally);
    }
    tally.report("injected-operation calls");
    EXPECT_EQ(tally.points, calls) << "kill points not reached";
    EXPECT_EQ(tally.withoutGame, 0);
    EXPECT_EQ(tally.unrepaired, 0);
}

std::set<std::string> namesIn(const std::string& alternatives) {
    std::set<std::string> names;
    std::istringstream list(alternatives);
    for (std::string name; std::getline(list, name, '|');) {
        names.insert(name);
    }
    return names;
}

// A swept system call of the child's main thread.
struct TracedCall {
    std::string name;
    bool changesRoot = true;  // false only for an open that can neither create nor write
};

// The swept calls of one traced run, as far as the main thread made them.
struct Trace {
    std::map<std::string, long> before;  // calls per name before prepare() began
    std::vector<TracedCall> inside;      // calls inside prepare(), in order
    bool began = false;
    bool ended = false;
    bool diedInCall = false;  // the main thread's last call never returned

    // How many changes of the root the main thread made inside prepare(). The changes come in
    // the same order in every run; only the opens that read files for verification vary.
    long changesMade() const {
        long made = 0;
        for (const TracedCall& call : inside) {
            made += call.changesRoot ? 1 : 0;
        }
        return made - (diedInCall && !inside.empty() && inside.back().changesRoot ? 1 : 0);
    }
};

Trace readTrace(const fs::path& log) {
    static const std::set<std::string> swept = namesIn(sweptCalls);
    Trace trace;
    std::string mainThread;
    std::istringstream lines(readFile(log));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string thread;
        std::string call;
        fields >> thread >> std::ws;
        std::getline(fields, call);
        if (mainThread.empty()) {
            mainThread = thread;  // the first line is the child's execve
        }
        if (thread != mainThread || call.starts_with("+++") || trace.ended) {
            continue;
        }
        trace.diedInCall = call.ends_with("= ?") || call.ends_with("<unfinished ...>");
        const std::string name = call.substr(0, call.find('('));
        if (call.find(crash::prepareBegins) != std::string::npos) {
            trace.began = true;
        } else if (call.find(crash::prepareEnds) != std::string::npos) {
            trace.ended = true;
        } else if (swept.contains(name) && !trace.began) {
            ++trace.before[name];
        } else if (swept.contains(name)) {
            const bool opens = name == "openat" || name == "open";
            const bool mayChange = call.find("O_CREAT") != std::string::npos ||
                                   call.find("O_WRONLY") != std::string::npos || call.find("O_RDWR") != std::string::npos;
            trace.inside.push_back({name, !opens || mayChange});
        }
    }
    return trace;
}

// LeakSanitizer cannot run under a tracer; a killed child has nothing to report anyway.
std::vector<std::string> straceCommand(const fs::path& log, const std::string& traced) {
    const char* const inherited = std::getenv("ASAN_OPTIONS");
    const std::string asanOptions = inherited && *inherited ? std::string(inherited) + ":detect_leaks=0" : "detect_leaks=0";
    return {"strace", "-f", "-qq", "-o", log.string(), "-E", "ASAN_OPTIONS=" + asanOptions,
            "-e", "trace=/^(" + traced + "|" + markerCalls + ")$"};
}

TEST(CrashConsistency, KillsAtEverySystemCallOfAnUpdateLeaveAStartableGame) {
    CrashScenario scenario;
    const fs::path traceLog = scenario.temp / "trace";
    const fs::path cleanRoot = scenario.freshRoot();
    std::vector<std::string> clean = straceCommand(traceLog, sweptCalls);
    for (const std::string& argument : scenario.childCommand(cleanRoot)) {
        clean.push_back(argument);
    }
    try {
        ChildProcess child(clean);
        if (const int status = child.wait(); !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            GTEST_SKIP() << "strace cannot trace the child here";
        }
    } catch (const std::system_error& error) {
        GTEST_SKIP() << "strace is not installed (scripts/install-deps installs it): " << error.what();
    }
    const Trace uninterrupted = readTrace(traceLog);
    ASSERT_FALSE(uninterrupted.inside.empty()) << "no system call seen inside prepare()";

    // The state a kill leaves is decided by how many changes of the root came before it. The
    // sweep kills the main thread on entry to each of its calls (strace counts per thread),
    // then aims again at every change before which no kill landed: verification hashes files
    // on the main thread and on helper threads in whatever split the scheduler makes, which
    // shifts the main thread's count of opens after it, and a helper thread starts from its
    // creator's count, so it may reach the count first and die in a call of its own.
    Tally tally;
    std::set<long> statesReached;
    const auto killAt = [&](const std::string& name, long when) {
        const fs::path root = scenario.freshRoot();
        std::vector<std::string> command = straceCommand(traceLog, sweptCalls);
        command.push_back("-e");
        command.push_back("inject=" + name + ":signal=SIGKILL:when=" + std::to_string(when));
        for (const std::string& argument : scenario.childCommand(root)) {
            command.push_back(argument);
        }
        const bool killed = killedWhileRunning(command);
        const Trace trace = readTrace(traceLog);
        if (!killed || trace.ended) {
            return;  // the shift moved this count past the end of prepare()
        }
        const std::string point = name + " #" + std::to_string(when);
        if (!trace.began) {
            tally.fail(point, "killed before prepare() began");
            return;
        }
        statesReached.insert(trace.changesMade());
        scenario.judge(root, point, tally);
    };

    std::map<std::string, long> occurrences;
    std::vector<std::pair<std::string, long>> changes;  // each change of the root: name, when
    for (const TracedCall& call : uninterrupted.inside) {
        const long when = (uninterrupted.before.contains(call.name) ? uninterrupted.before.at(call.name) : 0) +
                          ++occurrences[call.name];
        killAt(call.name, when);
        if (call.changesRoot) {
            changes.emplace_back(call.name, when);
        }
    }
    for (long change = 0; change < static_cast<long>(changes.size()); ++change) {
        const auto& [name, when] = changes[change];
        for (const long shift : {0, -1, 1, -2, 2, -3, 3, -4, 4}) {
            if (statesReached.contains(change)) {
                break;
            }
            killAt(name, when + shift);
        }
        if (!statesReached.contains(change)) {
            tally.fail(name + " #" + std::to_string(when), "no kill left the root as it is just before this change");
        }
    }

    std::cout << "[ crash    ] system calls swept inside prepare():";
    for (const auto& [name, count] : occurrences) {
        std::cout << ' ' << name << " x" << count;
    }
    std::cout << "; " << changes.size() << " changes of the install root, a kill on entry to each" << std::endl;
    tally.report("system calls");
    EXPECT_EQ(tally.withoutGame, 0);
    EXPECT_EQ(tally.unrepaired, 0);
}

} // namespace
} // namespace korvel::testing
