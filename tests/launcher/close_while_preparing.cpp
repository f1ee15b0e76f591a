// A launcher whose preparation never ends, as with a download stalled on the network, and
// whose window the player closes meanwhile. The real application exits; the test that starts
// this program checks that it does, by itself and with status 0.
#include <future>

#include <QApplication>

#include "launcher/launcher_application.h"

int main(int, char** argv) {
    korvel::runLauncherApplication(argv[0], [](const korvel::StatusOperation& status) -> korvel::PreparedClient {
        status("Installing game 1 of 12\u2026", 0.05);
        QMetaObject::invokeMethod(qApp, [] { QApplication::closeAllWindows(); }, Qt::QueuedConnection);
        std::promise<void> never;
        never.get_future().wait();
        return {};
    });
}
