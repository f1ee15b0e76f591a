#include <future>

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QScreen>
#include <QTest>

#include "launcher/launcher_delegate.h"
#include "launcher/launcher_window.h"
#include "policy/bootstrap_error.h"
#include "tests/launcher/launched_window.h"

namespace korvel {
namespace {

// The window as the launcher shows it, right after launch, with the preparation held back
// until the test ends.
class LaunchedWindow : public ::testing::Test {
protected:
    void SetUp() override {
        delegate.applicationDidFinishLaunching();
        window = testing::shownLauncherWindow();
        ASSERT_NE(window, nullptr) << "no launcher window is shown";
    }
    ~LaunchedWindow() override { release.set_value(); }

    template <class Widget>
    Widget& child(const char* name) {
        return testing::windowChild<Widget>(*window, name);
    }

    std::promise<void> release;
    LauncherDelegate delegate{[gate = release.get_future().share()](const StatusOperation&) -> PreparedClient {
        gate.wait();
        throw BootstrapError::invalid("The test is over.");
    }};
    LauncherWindow* window = nullptr;
};

TEST_F(LaunchedWindow, ShowsEachLabelWithItsTextFrameAndFont) {
    EXPECT_EQ(window->windowTitle(), "Korvel Launcher");
    // Frames given from the lower-left corner of the 185-point-high content: y' = 185 - y - height.
    const struct {
        const char* name;
        QString text;
        QRect frame;
        int pixelSize;  // 0: the label's default size
        bool bold;
    } cases[] = {
        {"heading", QStringLiteral("KORVEL \u00B7 ONLINE BETA"), {28, 32, 430, 28}, 20, true},
        {"status", QStringLiteral("Checking for game updates\u2026"), {28, 79, 430, 22}, 0, false},
        {"hint", QStringLiteral("Create an account or log in inside the game."), {28, 142, 430, 18}, 11, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QLabel& label = child<QLabel>(c.name);
        EXPECT_EQ(label.text(), c.text);
        EXPECT_EQ(label.geometry(), c.frame);
        const QFont standard = QApplication::font(&label);
        EXPECT_EQ(label.font().family(), standard.family()) << "not the system font";
        EXPECT_EQ(label.font().bold(), c.bold);
        if (c.pixelSize > 0) {
            EXPECT_EQ(label.font().pixelSize(), c.pixelSize);
        } else {
            EXPECT_EQ(label.font().pointSizeF(), standard.pointSizeF());
        }
    }
}

TEST_F(LaunchedWindow, StartsWithAnEmptyDeterminateBarAtItsFrame) {
    const auto& bar = child<QProgressBar>("progress");
    EXPECT_EQ(bar.geometry(), QRect(28, 113, 424, 14));
    EXPECT_EQ(bar.minimum(), 0);
    EXPECT_GT(bar.maximum(), bar.minimum()) << "a bar with an empty range is indeterminate";
    EXPECT_EQ(bar.value(), 0);
}

TEST_F(LaunchedWindow, HasAFixedContentSizeAndCanOnlyBeClosedOrMinimised) {
    EXPECT_EQ(window->minimumSize(), QSize(480, 185)) << "the window can be made smaller";
    EXPECT_EQ(window->maximumSize(), QSize(480, 185)) << "the window can be made larger";
    const Qt::WindowFlags flags = window->windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
}

TEST_F(LaunchedWindow, DrawsTheHintInTheSecondaryTextColour) {
    const QLabel& hint = child<QLabel>("hint");
    const QColor drawn = hint.palette().color(hint.foregroundRole());
    EXPECT_EQ(drawn, hint.palette().color(QPalette::PlaceholderText));
    EXPECT_NE(drawn, hint.palette().color(QPalette::WindowText)) << "the hint looks like the status line";
}

TEST_F(LaunchedWindow, IsCentredRaisedAndActive) {
    const QPoint offset = window->frameGeometry().center() - window->screen()->availableGeometry().center();
    EXPECT_LE(offset.manhattanLength(), 1) << "off centre by " << offset.x() << ", " << offset.y();
    EXPECT_TRUE(QTest::qWaitForWindowActive(window, 30000)) << "the window never became active";
}

TEST_F(LaunchedWindow, MapsReportedFractionsOntoTheBar) {
    const struct {
        double fraction;
        int value;
    } cases[] = {{0.0, 0}, {0.25, 250}, {0.3337, 334}, {1.0, 1000}, {1.5, 1000}, {-0.5, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fraction);
        window->showStatus(QStringLiteral("Installing game 1 of 12\u2026"), c.fraction);
        EXPECT_EQ(child<QProgressBar>("progress").value(), c.value);
        EXPECT_EQ(child<QLabel>("status").text(), QStringLiteral("Installing game 1 of 12\u2026"));
    }
}

} // namespace
} // namespace korvel
