#pragma once

#include <QLabel>
#include <QProgressBar>
#include <QString>
#include <QWidget>

namespace korvel {

// The launcher's one window: a fixed 480×185 content area with the heading, the status line,
// the progress bar and the hint. The heading and the hint never change; the status line and
// the bar change only through showStatus() and showFailure(). GUI thread only.
//
// Sizes are given in the units of the window's frames. On the original platform those are
// points that equal device-independent pixels, and its font sizes are in the same unit, so
// fonts are set with QFont::setPixelSize (20 and 11): Qt's point sizes would be scaled by the
// logical DPI (96 on X11 and offscreen), giving a 27-pixel heading in a 28-pixel frame.
// Text is drawn unhinted, as the original platform draws it; that also spares FreeType's
// hinting of every glyph, a fair part of the window's start-up cost.
class LauncherWindow : public QWidget {
    Q_OBJECT

public:
    static constexpr int contentWidth = 480;
    static constexpr int contentHeight = 185;
    // The bar's integer range onto which fractions 0.0 to 1.0 are mapped.
    static constexpr int progressSteps = 1000;

    LauncherWindow();

    // Centres the window on its screen, shows it, brings it to the front and activates it.
    void present();

    // One installer report: the message on the status line, the fraction (clamped to 0..1)
    // on the bar. The bar stays determinate.
    void showStatus(const QString& message, double fraction);

    // Marks the status line as failed and shows the one modal alert "Korvel could not start"
    // with the error's description and the fixed advice; returns once the player closed it.
    // The bar keeps its value.
    void showFailure(const QString& description);

private:
    QLabel heading;
    QLabel status;
    QProgressBar progress;
    QLabel hint;
};

} // namespace korvel
