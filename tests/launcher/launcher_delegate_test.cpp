#include <cerrno>
#include <cmath>
#include <filesystem>
#include <system_error>
#include <thread>

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTimer>

#include "launcher/launcher_delegate.h"
#include "policy/bootstrap_error.h"
#include "tests/launcher/launched_window.h"
#include "tests/support/temp_dir.h"

namespace korvel {
namespace {

struct Alert {
    QString text;
    QString informativeText;
    QStringList buttons;
};

struct LaunchOutcome {
    bool finished = false;
    std::vector<Alert> alerts;
    QString status;  // the status line when the launch was over
    int bar = -1;
};

// One whole launch with the given preparation. Every message box shown meanwhile (nested modal
// loops included) is recorded and dismissed with its first button, as a player would.
LaunchOutcome launch(PrepareOperation prepare) {
    LaunchOutcome outcome;
    QTimer alertWatch;
    QObject::connect(&alertWatch, &QTimer::timeout, [&outcome] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* box = qobject_cast<QMessageBox*>(widget); box != nullptr && box->isVisible()) {
                Alert alert{box->text(), box->informativeText(), {}};
                for (const QAbstractButton* button : box->buttons()) {
                    alert.buttons.push_back(button->text());
                }
                outcome.alerts.push_back(alert);
                box->buttons().isEmpty() ? box->reject() : box->buttons().first()->click();
            }
        }
    });
    alertWatch.start(20);
    LauncherDelegate delegate(std::move(prepare));
    QSignalSpy finished(&delegate, &LauncherDelegate::finished);
    delegate.applicationDidFinishLaunching();
    outcome.finished = finished.wait(120000);
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
    auto reportAndProbe = [&](const StatusOperation& status, const std::string& message, double fraction) {
        status(message, fraction);
        expected.emplace_back(QString::fromStdString(message), static_cast<int>(std::lround(1000 * fraction)));
        QMetaObject::invokeMethod(
            qApp,
            [&shown] {
                const LauncherWindow* window = testing::shownLauncherWindow();
                shown.emplace_back(testing::windowChild<QLabel>(*window, "status").text(),
                                   testing::windowChild<QProgressBar>(*window, "progress").value());
            },
            Qt::QueuedConnection);
    };
    const LaunchOutcome outcome = launch([&](const StatusOperation& status) {
        reportAndProbe(status, "Checking for game updates\u2026", 0.0);
        std::thread delivery([&] {  // as a download's own thread reports progress
            for (int i = 1; i <= 60; ++i) {
                reportAndProbe(status, "Installing game " + std::to_string(i) + " of 60\u2026", i / 60.0);
            }
        });
        delivery.join();
        reportAndProbe(status, "Update unavailable. Starting the verified installed game\u2026", 1.0);
        return PreparedClient{"/bin/true", true};
    });

    ASSERT_TRUE(outcome.finished) << "the launch never ended";
    EXPECT_EQ(shown, expected);
}

TEST(LauncherDelegate, EndsEveryFailureInOneAlertWithTheDescriptionAndTheAdvice) {
    const testing::TempDir dir;
    const std::string refusal = "Another Korvel launcher is updating. Wait for it to finish.";
    const auto failing = [](std::exception_ptr error) -> PrepareOperation {
        return [error](const StatusOperation& status) -> PreparedClient {
            status("Installing game 5 of 12\u2026", 0.4);
            std::rethrow_exception(error);
        };
    };
    const struct {
        const char* name;
        PrepareOperation prepare;
        std::string description;
    } cases[] = {
        {"the system's own refusal", failing(std::make_exception_ptr(BootstrapError::invalid(refusal))), refusal},
        {"a platform error",
         failing(std::make_exception_ptr(std::filesystem::filesystem_error(
             "open", dir / "update.lock", std::error_code(EACCES, std::generic_category())))),
         "Permission denied: " + (dir / "update.lock").string()},
        {"a game that cannot be started",
         [&](const StatusOperation& status) {
             status("Installing game 5 of 12\u2026", 0.4);
             return PreparedClient{dir / "missing", false};
         },
         "No such file or directory: " + (dir / "missing").string()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const LaunchOutcome outcome = launch(c.prepare);

        ASSERT_TRUE(outcome.finished) << "the launch never ended";
        ASSERT_EQ(outcome.alerts.size(), 1u) << "not exactly one alert";
        EXPECT_EQ(outcome.alerts[0].text, "Korvel could not start");
        EXPECT_EQ(outcome.alerts[0].informativeText,
                  QString::fromStdString(c.description) +
                      "\n\nYour installed game and player account have not been replaced. Check your connection "
                      "and reopen the launcher to retry.");
        EXPECT_EQ(outcome.alerts[0].buttons, QStringList{"Close"});
        EXPECT_EQ(outcome.status, "The game could not be installed.");
        EXPECT_EQ(outcome.bar, 400) << "the bar did not keep its value";
    }
}

} // namespace
} // namespace korvel
