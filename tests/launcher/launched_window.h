#pragma once

#include <ostream>
#include <stdexcept>
#include <string>

#include <QApplication>
#include <QWidget>

#include "launcher/launcher_window.h"

// Lets test failures print Qt text readably.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace korvel::testing {

// The launcher window that is on screen, or nullptr.
inline LauncherWindow* shownLauncherWindow() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* window = qobject_cast<LauncherWindow*>(widget); window != nullptr && window->isVisible()) {
            return window;
        }
    }
    return nullptr;
}

// One of the window's children by its object name ("heading", "status", "progress", "hint").
template <class Widget>
Widget& windowChild(const QWidget& window, const char* name) {
    auto* widget = window.findChild<Widget*>(QString::fromLatin1(name));
    if (widget == nullptr) {
        throw std::runtime_error(std::string("the launcher window has no child named ") + name);
    }
    return *widget;
}

} // namespace korvel::testing
