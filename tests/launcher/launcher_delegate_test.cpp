#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <thread>

#include <gtest/gtest.h>

#include <QLabel>
#include <QProgressBar>
#include <QSignalSpy>

#include "installer/scope_exit.h"
#include "launcher/launcher_delegate.h"
#include "policy/bootstrap_error.h"
#include "tests/launcher/alert_watcher.h"
#include "tests/launcher/fake_game.h"
#include "tests/launcher/launched_window.h"
#include "transport/transport_error.h"

namespace korvel {
namespace {

using testing::AlertWatcher;
using testing::FakeGame;

const QString advice = QStringLiteral(
    "\n\nYour installed game and player account have not been replaced. Check your connection and reopen the "
    "launcher to retry.");

struct LaunchOutcome {
    bool finished = false;
    std::vector<AlertWatcher::Alert> alerts;
    QString status;  // the status line when the launch was over
    int bar = -1;
};

// One whole launch with the given preparation, the alert dismissed as a player would.
LaunchOutcome launch(PrepareOperation prepare) {
    AlertWatcher watcher;
    LauncherDelegate delegate(std::move(prepare));
    QSignalSpy finished(&delegate, &LauncherDelegate::finished);
    delegate.applicationDidFinishLaunching();
    LaunchOutcome outcome;
    outcome.finished = finished.wait(120000);
    outcome.alerts = watcher.alerts();
    if (const LauncherWindow* window = testing::shownLauncherWindow()) {
        outcome.status = testing::windowChild<QLabel>(*window, "status").text();
        outcome.bar = testing::windowChild<QProgressBar>(*window, "progress").value();
    }
    return outcome;
}

TEST(LauncherDelegate, ShowsStatusReportsFromAnyThreadInTheOrderTheyWereMade) {
    // After each report the reporting thread queues a probe that records what the window
    // shows then; reports applied late, out of order or coalesced make the probes disagree.
    std::vector<std::pair<QString, int>> expected;
    std::vector<std::pair<QString, int>> shown;
    auto reportAndProbe = [&shown](const StatusOperation& status, const std::string& message, double fraction) {
        status(message, fraction);
        QMetaObject::invokeMethod(
            qApp,
            [&shown] {
                const LauncherWindow* window = testing::shownLauncherWindow();
                shown.emplace_back(testing::windowChild<QLabel>(*window, "status").text(),
                                   testing::windowChild<QProgressBar>(*window, "progress").value());
            },
            Qt::QueuedConnection);
    };
    constexpr int files = 60;
    expected.emplace_back(QStringLiteral("Checking for game updates\u2026"), 0);
    for (int i = 1; i <= files; ++i) {
        expected.emplace_back(QStringLiteral("Installing game %1 of %2\u2026").arg(i).arg(files),
                              static_cast<int>(std::lround(1000.0 * i / files)));
    }
    expected.emplace_back(QStringLiteral("Update unavailable. Starting the verified installed game\u2026"), 1000);

    FakeGame game;
    const LaunchOutcome outcome = launch([&](const StatusOperation& status) {
        reportAndProbe(status, "Checking for game updates\u2026", 0.0);
        std::thread delivery([&] {  // as a download's own thread reports progress
            for (int i = 1; i <= files; ++i) {
                reportAndProbe(status, "Installing game " + std::to_string(i) + " of " + std::to_string(files) + "\u2026",
                               static_cast<double>(i) / files);
            }
        });
        delivery.join();
        reportAndProbe(status, "Update unavailable. Starting the verified installed game\u2026", 1.0);
        return PreparedClient{game.executable(), true};
    });

    ASSERT_TRUE(outcome.finished) << "the launch never ended";
    ASSERT_EQ(shown.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(shown[i], expected[i]) << "report " << i;
    }
}

TEST(LauncherDelegate, StartsThePreparedGameWithoutTheLaunchersVariablesAndNoAlert) {
    ASSERT_EQ(::setenv("KORVEL_LAUNCHER_TEST_TOKEN", "secret", 1), 0);
    ASSERT_EQ(::setenv("LAUNCHER_TEST_KEPT", "a=b", 1), 0);
    ScopeExit restore([] {
        ::unsetenv("KORVEL_LAUNCHER_TEST_TOKEN");
        ::unsetenv("LAUNCHER_TEST_KEPT");
    });
    FakeGame game;

    const LaunchOutcome outcome =
        launch([&](const StatusOperation&) { return PreparedClient{game.executable(), false}; });

    ASSERT_TRUE(outcome.finished) << "the launch never ended";
    EXPECT_TRUE(outcome.alerts.empty()) << "an alert was shown: " << outcome.alerts.front().informativeText.toStdString();
    const auto report = game.waitForReport();
    ASSERT_TRUE(report) << "the game was never started";
    const auto& environment = report->environment;
    EXPECT_EQ(std::count(environment.begin(), environment.end(), "KORVEL_LAUNCHER_TEST_TOKEN=secret"), 0)
        << "a KORVEL_ variable reached the game";
    EXPECT_EQ(std::count(environment.begin(), environment.end(), "LAUNCHER_TEST_KEPT=a=b"), 1)
        << "an ordinary variable did not reach the game unchanged";
}

// A preparation that reports progress and then fails with error.
template <class Error>
PrepareOperation failingWith(Error error) {
    return [error](const StatusOperation& status) -> PreparedClient {
        status("Installing game 5 of 12\u2026", 0.4);
        throw error;
    };
}

// A preparation that reports progress and then names game.
PrepareOperation preparing(std::filesystem::path game) {
    return [game](const StatusOperation& status) {
        status("Installing game 5 of 12\u2026", 0.4);
        return PreparedClient{game, false};
    };
}

TEST(LauncherDelegate, EndsEveryFailureInOneAlertWithTheDescriptionAndTheAdvice) {
    const testing::TempDir dir;
    testing::writeFile(dir / "not-executable", "#!/bin/sh\n");
    const std::string refusal = "Another Korvel launcher is updating. Wait for it to finish.";
    const std::string curlText = "Couldn't resolve host name: Could not resolve host: www.korvel.example";
    const struct {
        const char* name;
        PrepareOperation prepare;
        std::string description;
    } cases[] = {
        {"the system's own refusal", failingWith(BootstrapError::invalid(refusal)), refusal},
        {"a file-system error",
         failingWith(std::filesystem::filesystem_error("open", dir / "update.lock",
                                                       std::error_code(EACCES, std::generic_category()))),
         "Permission denied: " + (dir / "update.lock").string()},
        {"a transport error", failingWith(TransportError(6, curlText)), curlText},
        {"a game that does not exist", preparing(dir / "missing"),
         "No such file or directory: " + (dir / "missing").string()},
        {"a game that is not executable", preparing(dir / "not-executable"),
         "Permission denied: " + (dir / "not-executable").string()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const LaunchOutcome outcome = launch(c.prepare);

        ASSERT_TRUE(outcome.finished) << "the launch never ended";
        ASSERT_EQ(outcome.alerts.size(), 1u) << "not exactly one alert";
        const AlertWatcher::Alert& alert = outcome.alerts.front();
        EXPECT_EQ(alert.text, "Korvel could not start");
        EXPECT_EQ(alert.informativeText, QString::fromStdString(c.description) + advice);
        EXPECT_EQ(alert.buttons, QStringList{"Close"});
        EXPECT_EQ(outcome.status, "The game could not be installed.");
        EXPECT_EQ(outcome.bar, 400) << "the bar did not keep its value";
    }
}

} // namespace
} // namespace korvel
