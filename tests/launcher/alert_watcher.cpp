#include "tests/launcher/alert_watcher.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>

namespace korvel::testing {

AlertWatcher::AlertWatcher() {
    QObject::connect(&timer, &QTimer::timeout, [this] { dismissVisibleAlerts(); });
    timer.start(20);
}

void AlertWatcher::dismissVisibleAlerts() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (box == nullptr || !box->isVisible()) {
            continue;
        }
        Alert alert{box->text(), box->informativeText(), {}};
        for (const QAbstractButton* button : box->buttons()) {
            alert.buttons.push_back(button->text());
        }
        seen.push_back(alert);
        if (!box->buttons().isEmpty()) {
            box->buttons().first()->click();
        } else {
            box->reject();
        }
    }
}

} // namespace korvel::testing
