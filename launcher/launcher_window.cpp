#include "launcher/launcher_window.h"

#include <QMessageBox>
#include <QScreen>

#include <cmath>

namespace korvel {
namespace {

// Frames are written with their origin at the content's lower-left corner, as the original
// platform places views; Qt's origin is the upper-left one.
constexpr QRect fromBottomLeft(int x, int y, int width, int height) {
    return {x, LauncherWindow::contentHeight - y - height, width, height};
}

void placeLabel(QLabel& label, const QString& text, QRect frame) {
    label.setTextFormat(Qt::PlainText);
    label.setText(text);
    label.setGeometry(frame);
}

QFont systemFontOfPixelSize(const QFont& base, int pixels, bool bold) {
    QFont font = base;
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

} // namespace

LauncherWindow::LauncherWindow()
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                           Qt::WindowMinimizeButtonHint),
      heading(this),
      status(this),
      progress(this),
      hint(this) {
    setWindowTitle(QStringLiteral("Korvel Launcher"));
    setFixedSize(contentWidth, contentHeight);
    QFont unhinted = font();
    unhinted.setHintingPreference(QFont::PreferNoHinting);
    setFont(unhinted);  // the children's default font

    heading.setObjectName(QStringLiteral("heading"));
    placeLabel(heading, QStringLiteral("KORVEL \u00B7 ONLINE BETA"), fromBottomLeft(28, 125, 430, 28));
    heading.setFont(systemFontOfPixelSize(font(), 20, true));

    status.setObjectName(QStringLiteral("status"));
    placeLabel(status, QStringLiteral("Checking for game updates\u2026"), fromBottomLeft(28, 84, 430, 22));

    progress.setObjectName(QStringLiteral("progress"));
    progress.setGeometry(fromBottomLeft(28, 58, 424, 14));
    progress.setRange(0, progressSteps);
    progress.setValue(0);
    progress.setTextVisible(false);

    hint.setObjectName(QStringLiteral("hint"));
    placeLabel(hint, QStringLiteral("Create an account or log in inside the game."), fromBottomLeft(28, 25, 430, 18));
    hint.setFont(systemFontOfPixelSize(font(), 11, false));
    // The secondary label colour is the label colour at reduced emphasis, which is what the
    // placeholder role holds in Qt's palettes; the disabled role would say "unavailable".
    hint.setForegroundRole(QPalette::PlaceholderText);
}

void LauncherWindow::present() {
    // Centred with its frame, whose size the platform knows once the window exists; placed
    // before it is shown, so that it is mapped and painted once, in place.
    create();
    if (const QScreen* screen = this->screen(); screen != nullptr) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    show();
    raise();
    activateWindow();
}

void LauncherWindow::showStatus(const QString& message, double fraction) {
    status.setText(message);
    const double bounded = fraction >= 0.0 ? std::min(fraction, 1.0) : 0.0;  // NaN counts as nothing done
    progress.setValue(static_cast<int>(std::lround(bounded * progressSteps)));
}

void LauncherWindow::showFailure(const QString& description) {
    status.setText(QStringLiteral("The game could not be installed."));

    QMessageBox alert(this);
    alert.setIcon(QMessageBox::Warning);
    alert.setTextFormat(Qt::PlainText);
    alert.setText(QStringLiteral("Korvel could not start"));
    alert.setInformativeText(description +
                             QStringLiteral("\n\nYour installed game and player account have not been replaced. "
                                            "Check your connection and reopen the launcher to retry."));
    alert.addButton(QStringLiteral("Close"), QMessageBox::AcceptRole);
    alert.exec();
}

} // namespace korvel
