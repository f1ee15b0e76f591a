#include <cerrno>
#include <filesystem>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTimer>

#include "launcher/install_root.h"
#include "launcher/launcher_delegate.h"
#include "launcher/launcher_window.h"
#include "policy/bootstrap_error.h"
#include "policy/bootstrap_policy.h"
#include "tests/servers/child_process.h"
#include "tests/support/temp_dir.h"
#include "transport/transport_error.h"

namespace korvel::test {
namespace {

namespace fs = std::filesystem;

// The window shows the reports of the preparation's thread; a failure ends in one alert with its
// description and the advice, the status line says so, and the bar keeps its rounded value.
TEST(LauncherDelegate, EndsEveryFailureInOneAlertWithItsDescriptionAndTheAdvice) {
    const TempDir dir;
    const auto fileError = [](int error, const fs::path& path1, const fs::path& path2) {
        return std::make_exception_ptr(
            fs::filesystem_error("rename", path1, path2, std::error_code(error, std::generic_category())));
    };
    const struct {
        std::exception_ptr error;  // what the preparation throws; none: it names a game that cannot start
        std::string description;
    } rows[] = {
        {std::make_exception_ptr(BootstrapError::invalid("Refused.")), "Refused."},
        {fileError(EEXIST, "/r/.stage-A", "/r/releases/b1"), "File exists: /r/.stage-A, /r/releases/b1"},
        {fileError(ENOSPC, {}, {}), "No space left on device"},
        {std::make_exception_ptr(TransportError(28, "Timeout was reached")), "Timeout was reached"},
        {std::make_exception_ptr(42), "An unexpected error stopped the launcher."},
        {nullptr, "No such file or directory: " + (dir / "missing").string()},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.description);
        // Every message box shown meanwhile, in nested modal loops too, is recorded and dismissed
        // with its first button, as a player would.
        std::vector<QString> alerts;
        QTimer alertWatch;
        QObject::connect(&alertWatch, &QTimer::timeout, [&alerts] {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                if (auto* box = qobject_cast<QMessageBox*>(widget); box != nullptr && box->isVisible()) {
                    alerts.push_back(box->text() + "\n" + box->informativeText());
                    for (const QAbstractButton* button : box->buttons()) {
                        alerts.back() += "\n[" + button->text() + "]";
                    }
                    box->buttons().first()->click();
                }
            }
        });
        alertWatch.start(20);
        LauncherDelegate delegate([&](const StatusOperation& status) {
            status("Installing game 5 of 12…", 0.3337);
            if (row.error) {
                std::rethrow_exception(row.error);
            }
            return PreparedClient{dir / "missing", false};
        });
        QSignalSpy finished(&delegate, &LauncherDelegate::finished);
        delegate.applicationDidFinishLaunching();
        ASSERT_TRUE(finished.wait(120000)) << "the launch never ended";

        EXPECT_EQ(alerts, std::vector<QString>{"Korvel could not start\n" + QString::fromStdString(row.description) +
                                               "\n\nYour installed game and player account have not been replaced. "
                                               "Check your connection and reopen the launcher to retry.\n[Close]"});
        int windows = 0;
        for (QWidget* window : QApplication::topLevelWidgets()) {
            if (qobject_cast<LauncherWindow*>(window) != nullptr && ++windows) {
                EXPECT_EQ(window->findChild<QLabel*>("status")->text(), "The game could not be installed.");
                EXPECT_EQ(window->findChild<QProgressBar*>("progress")->value(), 334) << "the bar lost its value";
            }
        }
        EXPECT_EQ(windows, 1);
    }
}

#if !defined(__APPLE__)
TEST(InstallRoot, UsesXdgDataHomeOnlyWhenItIsAnAbsolutePath) {
    EXPECT_EQ(installRoot("/home/p", "/data/p"), "/data/p/Korvel/OnlineBetaClient");
    EXPECT_EQ(installRoot("/home/p", ""), "/home/p/.local/share/Korvel/OnlineBetaClient");
    EXPECT_EQ(installRoot("/home/p", "data/p"), "/home/p/.local/share/Korvel/OnlineBetaClient");
}
#endif

// The real binary, as a player starts it: the configuration report needs no display and touches
// no file; closing the window while the preparation hangs ends the process at once.
TEST(LauncherBinary, ReportsItsConfigurationAndEndsWhenItsWindowCloses) {
    const TempDir home;
    const std::vector<std::string> player = {"HOME=" + home.path().string()};  // no display
    const ChildResult report = runChild({KORVEL_LAUNCHER_BINARY, "-platform", "xcb", "--check-config"}, &player);
    EXPECT_EQ(report.exitStatus, 0) << report.errors;
    EXPECT_EQ(report.output, "Korvel online bootstrap: " + BootstrapPolicy::manifestURL + "\n");
    EXPECT_TRUE(fs::is_empty(home.path())) << "the configuration report touched the home directory";

    const std::vector<std::string> offscreen = {"HOME=" + home.path().string(), "QT_QPA_PLATFORM=offscreen"};
    const ChildResult closed = runChild({KORVEL_CLOSE_WHILE_PREPARING}, &offscreen, std::chrono::seconds(60));
    EXPECT_EQ(closed.exitStatus, 0) << "did not end by itself after a minute: " << closed.errors;
}

} // namespace
} // namespace korvel::test
