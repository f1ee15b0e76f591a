#pragma once

#include <vector>

#include <QString>
#include <QStringList>
#include <QTimer>

namespace korvel::testing {

// While alive and the event loop runs (nested modal loops included), finds every message box
// that is shown, records its texts and buttons, and dismisses it with its first button, as a
// player would.
class AlertWatcher {
public:
    struct Alert {
        QString text;
        QString informativeText;
        QStringList buttons;
    };

    AlertWatcher();

    const std::vector<Alert>& alerts() const { return seen; }

private:
    void dismissVisibleAlerts();

    QTimer timer;
    std::vector<Alert> seen;
};

} // namespace korvel::testing
