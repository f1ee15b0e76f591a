// Kills a real launcher process at every point of an update it can be killed at, and checks
// that the next run without network still starts a verified game (the old release or the
// new one), and that the run after that, with network, ends on the new release.
//
// Points come from two sweeps. The child itself dies at the Nth call of an injected operation
// (a download starting, a progress report half-way through a file, the signature check). strace
// kills it on entry to the Nth occurrence of a system call that reads or changes the install
// root; since every change on disk is such a call, killing on entry to each of them covers
// every state between two changes, the ones inside commit and around the rename included.

#include <algorithm>
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

// Runs a command to its end; whether SIGKILL ended it. Its output goes to the test's.
bool killedWhileRunning(const std::vector<std::string>& command) {
    const int status = ChildProcess(command).wait();
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

// An install root where an earlier run installed and selected release r1, while the network now
// offers release r2. Each kill point runs the child on its own copy of that root; the scenario
// counts what the kill points of one sweep left behind.
class CrashScenario {
public:
    CrashScenario() {
        StubNetwork network;
        network.publish(older);
        OnlineInstaller(earlierRoot, network.operation(), [](const fs::path&) {}).prepare();
    }

    fs::path freshRoot() {
        const fs::path root = temp / ("run-" + std::to_string(++runs));
        fs::copy(earlierRoot, root, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        return root;
    }

    // The child was killed at point and left root behind; the next two runs must cope with it.
    void judge(const fs::path& root, const std::string& point) {
        ++points;
        const auto fail = [&](int& count, const std::string& problem) {
            ++count;
            failures.push_back(point + ": " + problem);
        };
        const auto entrypoint = [&](const SampleRelease& release) {
            return root / "releases" / release.name / BootstrapPolicy::entrypoint;
        };
        // Without network the player gets a release that verifies: the old one or the new one.
        StubNetwork network;
        try {
            OnlineInstaller offline(root, network.operation(), [](const fs::path&) {});
            const PreparedClient client = offline.prepare();
            const SampleRelease& started = client.executable == entrypoint(older) ? older : newer;
            if (client.executable != entrypoint(started) || !client.usedPrevious) {
                fail(withoutGame, "the offline run would start " + client.executable.string());
            } else {
                OnlineInstallerTestAccess(offline).verify(root / "releases" / started.name, started.manifest());
                ++(&started == &older ? olderStarted : newerStarted);
            }
        } catch (const std::exception& error) {
            fail(withoutGame, std::string("the offline run found no startable game: ") + error.what());
        }
        // Back online, the update completes, reusing whatever the killed run left in place.
        network.publish(newer);
        try {
            const PreparedClient client = OnlineInstaller(root, network.operation(), [](const fs::path&) {}).prepare();
            if (client.executable != entrypoint(newer) || client.usedPrevious) {
                fail(unrepaired, "the online run would start " + client.executable.string());
            }
        } catch (const std::exception& error) {
            fail(unrepaired, std::string("the online run failed: ") + error.what());
        }
    }

    void report(const char* sweep) const {
        std::cout << "[ crash    ] " << sweep << ": " << points << " kill points; next run started the old release "
                  << olderStarted << " times, the new one " << newerStarted << " times; left without a startable game: "
                  << withoutGame << "; not repaired by the next online run: " << unrepaired << std::endl;
        for (std::size_t i = 0; i < failures.size() && i < 20; ++i) {
            ADD_FAILURE() << failures[i];
        }
        EXPECT_EQ(withoutGame, 0);
        EXPECT_EQ(unrepaired, 0);
    }

    TempDir temp;
    int points = 0, olderStarted = 0, newerStarted = 0, withoutGame = 0, unrepaired = 0;
    std::vector<std::string> failures;

private:
    const SampleRelease older = makeSampleRelease("r1", 3000);
    const SampleRelease newer = crash::newerRelease();
    const fs::path earlierRoot = temp / "earlier";
    int runs = 0;
};

TEST(CrashConsistency, KillsAtEveryInjectedOperationCallLeaveAStartableGame) {
    CrashScenario scenario;
    // The child's calls come in the same order in every run; the first count it outlives ends the sweep.
    for (long call = 1;; ++call) {
        const fs::path root = scenario.freshRoot();
        if (!killedWhileRunning({KORVEL_CRASH_CHILD, root.string(), std::to_string(call)})) {
            break;
        }
        scenario.judge(root, "call " + std::to_string(call));
    }
    scenario.report("injected-operation calls");
    EXPECT_GT(scenario.points, 12) << "fewer kill points than a release has files";
}

// A swept system call of the child's main thread inside prepare(): its name, and how many calls
// of that name the thread had made by then, this one included, as strace counts for inject=.
struct TracedCall {
    std::string name;
    long when = 0;
    bool changesRoot = true;  // false only for an open that can neither create nor write
};

// The swept calls of one traced run, as far as the main thread made them.
struct Trace {
    std::vector<TracedCall> inside;  // in order
    bool began = false;
    bool ended = false;
    bool diedInCall = false;  // the main thread's last call never returned

    // How many changes of the root the main thread made inside prepare(). The changes come in
    // the same order in every run; only the opens that read files for verification vary.
    long changesMade() const {
        const long made = std::count_if(inside.begin(), inside.end(), [](auto& call) { return call.changesRoot; });
        return made - (diedInCall && !inside.empty() && inside.back().changesRoot ? 1 : 0);
    }
};

Trace readTrace(const fs::path& log) {
    Trace trace;
    std::map<std::string, long> made;
    std::istringstream lines(readFile(log));
    for (std::string call; std::getline(lines, call) && !trace.ended;) {
        if (call.starts_with("+++") || call.starts_with("---")) {
            continue;  // the child's end, or a signal
        }
        trace.diedInCall = call.ends_with("= ?") || call.ends_with("<unfinished ...>");
        const std::string name = call.substr(0, call.find('('));
        trace.began = trace.began || call.find(crash::prepareBegins) != std::string::npos;
        trace.ended = call.find(crash::prepareEnds) != std::string::npos;
        if (("|" + sweptCalls + "|").find("|" + name + "|") != std::string::npos && ++made[name] && trace.began) {
            const bool opens = name == "openat" || name == "open";
            const bool mayChange = call.find("O_CREAT") != std::string::npos ||
                                   call.find("O_WRONLY") != std::string::npos || call.find("O_RDWR") != std::string::npos;
            trace.inside.push_back({name, made[name], !opens || mayChange});
        }
    }
    return trace;
}

// strace running the child on root, tracing the swept calls and the markers of its main thread
// alone (no -f): every change of the root is made there, and the counts strace kills at are
// that thread's own. LeakSanitizer cannot run under a tracer; a killed child has nothing to
// report anyway.
std::vector<std::string> tracedChild(const fs::path& log, const fs::path& root, const std::string& inject = {}) {
    const char* const inherited = std::getenv("ASAN_OPTIONS");
    std::vector<std::string> command = {
        "strace", "-qq", "-o", log.string(),
        "-E", "ASAN_OPTIONS=" + (inherited && *inherited ? std::string(inherited) + ":" : "") + "detect_leaks=0",
        "-e", "trace=/^(" + sweptCalls + "|access|faccessat|faccessat2)$"};
    if (!inject.empty()) {
        command.insert(command.end(), {"-e", "inject=" + inject});
    }
    command.insert(command.end(), {KORVEL_CRASH_CHILD, root.string()});
    return command;
}

TEST(CrashConsistency, KillsAtEverySystemCallOfAnUpdateLeaveAStartableGame) {
    CrashScenario scenario;
    const fs::path traceLog = scenario.temp / "trace";
    const int status = ChildProcess(tracedChild(traceLog, scenario.freshRoot())).wait();  // throws without strace
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        GTEST_SKIP() << "strace (scripts/install-deps installs it) cannot trace the child here";
    }
    const Trace uninterrupted = readTrace(traceLog);
    ASSERT_FALSE(uninterrupted.inside.empty()) << "no system call seen inside prepare()";

    // The state a kill leaves is decided by how many changes of the root came before it. The
    // sweep kills on entry to each call of the clean run, then aims again at every change before
    // which no kill landed: verification hashes files on the main thread and on helper threads
    // in whatever split the scheduler makes, which shifts the main thread's count of opens.
    std::set<long> statesReached;
    const auto killAt = [&](const std::string& name, long when) {
        const fs::path root = scenario.freshRoot();
        const std::string inject = name + ":signal=SIGKILL:when=" + std::to_string(when);
        const bool killed = killedWhileRunning(tracedChild(traceLog, root, inject));
        const Trace trace = readTrace(traceLog);
        if (!killed || !trace.began || trace.ended) {
            return;  // the shift moved this count out of prepare()
        }
        statesReached.insert(trace.changesMade());
        scenario.judge(root, name + " #" + std::to_string(when));
    };

    std::vector<TracedCall> changes;
    for (const TracedCall& call : uninterrupted.inside) {
        killAt(call.name, call.when);
        if (call.changesRoot) {
            changes.push_back(call);
        }
    }
    for (long change = 0; change < static_cast<long>(changes.size()); ++change) {
        const auto& [name, when, changesRoot] = changes[change];
        for (const long shift : {0, -1, 1, -2, 2, -3, 3, -4, 4}) {
            if (!statesReached.contains(change)) {
                killAt(name, when + shift);
            }
        }
        if (!statesReached.contains(change)) {
            scenario.failures.push_back(name + " #" + std::to_string(when) +
                                     ": no kill left the root as it is just before this change");
        }
    }

    std::cout << "[ crash    ] system calls: " << uninterrupted.inside.size() << " swept inside prepare(), "
              << changes.size() << " of them changes of the install root, a kill on entry to each" << std::endl;
    scenario.report("system calls");
}

} // namespace
} // namespace korvel::testing
