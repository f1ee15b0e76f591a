// The launcher's start as korvel-launcher does it: Qt shown only the program name, the
// delegate building and presenting the window and starting the real preparation on its
// background thread, as in the launcher. Run it with HOME
// pointing at a scratch directory: the preparation creates its install root there.
#include <algorithm>

#include <QApplication>

#include "bench/startup/first_paint.h"
#include "launcher/installer_preparation.h"
#include "launcher/launcher_delegate.h"
#include "launcher/launcher_window.h"

int main(int, char** argv) {
    int qtArgc = 1;
    QApplication application(qtArgc, argv);
    korvel::LauncherDelegate delegate([](const korvel::StatusOperation& status) {
        return korvel::prepareInstalledClient({}, {}, status);
    });
    delegate.applicationDidFinishLaunching();
    // Shown, but not painted before the event loop runs.
    const QWidgetList windows = QApplication::topLevelWidgets();
    const auto window = std::find_if(windows.begin(), windows.end(), [](const QWidget* widget) {
        return qobject_cast<const korvel::LauncherWindow*>(widget) != nullptr;
    });
    if (window == windows.end()) {
        return 1;
    }
    korvel::bench::FirstPaintReport report(**window);
    return application.exec();
}
