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
    LaunchedWindow()
        : delegate([gate = gate](const StatusOperation&) -> PreparedClient {
              gate.wait();
              throw BootstrapError::invalid("The test is over.");
          }) {
        delegate.applicationDidFinishLaunching();
        window = testing::shownLauncherWindow();
    }
    ~LaunchedWindow() override { release.set_value(); }

    template <class Widget>
    Widget& child(const char* name) {
        return testing::windowChild<Widget>(*window, name);
    }

    std::promise<void> release;
    std::shared_future<void> gate = release.get_future().share();
    LauncherDelegate delegate;
    LauncherWindow* window = nullptr;
};

TEST_F(LaunchedWindow, ShowsItsTextsBeforeAnyReport) {
    ASSERT_NE(window, nullptr) << "no launcher window is shown";
    EXPECT_EQ(window->windowTitle(), "Korvel Launcher");
    const struct {
        const char* label;
        QString text;
    } cases[] = {
        {"heading", QStringLiteral("KORVEL \u00B7 ONLINE BETA")},
        {"status", QStringLiteral("Checking for game updates\u2026")},
        {"hint", QStringLiteral("Create an account or log in inside the game.")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(child<QLabel>(c.label).text(), c.text);
    }
}

TEST_F(LaunchedWindow, PlacesEachChildAtItsFrameFromTheTopLeft) {
    ASSERT_NE(window, nullptr) << "no launcher window is shown";
    // Frames given from the lower-left corner of the 185-point-high content: y' = 185 - y - height.
    const struct {
        const char* name;
        QRect frame;
    } cases[] = {
        {"heading", {28, 32, 430, 28}},
        {"status", {28, 79, 430, 22}},
        {"progress", {28, 113, 424, 14}},
        {"hint", {28, 142, 430, 18}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(child<QWidget>(c.name).geometry(), c.frame);
    }
}

TEST_F(LaunchedWindow, HasAFixedContentSizeAndCanOnlyBeClosedOrMinimised) {
    ASSERT_NE(window, nullptr) << "no launcher window is shown";
    EXPECT_EQ(window->size(), QSize(480, 185));
    EXPECT_EQ(window->minimumSize(), QSize(480, 185)) << "the window can be made smaller";
    EXPECT_EQ(window->maximumSize(), QSize(480, 185)) << "the window can be made larger";
    const Qt::WindowFlags flags = window->windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
}

TEST_F(LaunchedWindow, StartsWithAnEmptyDeterminateBar) {
    ASSERT_NE(window, nullptr) << "no launcher window is shown";
    const auto& bar = child<QProgressBar>("progress");
    EXPECT_EQ(bar.minimum(), 0);
    EXPECT_GT(bar.maximum(), bar.minimum()) << "a bar with an empty range is indeterminate";
    EXPECT_EQ(bar.value(), 0);
}

TEST_F(LaunchedWindow, UsesTheBoldHeadingAndSmallHintFonts) {
    ASSERT_NE(window, nullptr) << "no launcher window is shown";
    const struct {
        const char* label;
        int pixelSize;
        bool bold;
    } cases[] = {{"heading", 20, true}, {"hint", 11, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const QFont font = child<QLabel>(c.label).font();
        EXPECT_EQ(font.pixelSize(), c.pixelSize);
        EXPECT_EQ(font.bold(), c.bold);
        EXPECT_EQ(font.family(), QApplication::font().family()) << "not the system font";
    }
    const QFont status = child<QLabel>("status").font();
    const QFont standard = QApplication::font(&child<QLabel>("status"));
    EXPECT_EQ(status.family(), standard.family()) << "the status line does not use the label's default font";
    EXPECT_EQ(status.pointSizeF(), standard.pointSizeF()) << "the status line does not use the label's default size";
    EXPECT_EQ(status.weight(), standard.weight());
}

TEST_F(LaunchedWindow, DrawsTheHintInTheSecondaryTextColour) {
    ASSERT_NE(window, nullptr) << "no launcher window is shown";
    const QLabel& hint = child<QLabel>("hint");
    const QColor drawn = hint.palette().color(hint.foregroundRole());
    EXPECT_EQ(drawn, hint.palette().color(QPalette::PlaceholderText));
    EXPECT_NE(drawn, hint.palette().color(QPalette::WindowText)) << "the hint looks like the status line";
}

TEST_F(LaunchedWindow, IsCentredRaisedAndActive) {
    ASSERT_NE(window, nullptr) << "no launcher window is shown";
    const QPoint offset = window->frameGeometry().center() - window->screen()->availableGeometry().center();
    EXPECT_LE(offset.manhattanLength(), 1) << "off centre by " << offset.x() << ", " << offset.y();
    EXPECT_TRUE(QTest::qWaitForWindowActive(window, 30000)) << "the window never became active";
}

TEST_F(LaunchedWindow, MapsReportedFractionsOntoTheBar) {
    ASSERT_NE(window, nullptr) << "no launcher window is shown";
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
