#include "launcher/launcher_delegate.h"

#include <chrono>
#include <exception>

#include <QEvent>
#include <QTimer>

#include "base/process.h"
#include "launcher/error_description.h"
#include "launcher/game_process.h"
#include "launcher/launcher_window.h"

namespace korvel {

LauncherDelegate::LauncherDelegate(PrepareOperation prepare) : prepare(std::move(prepare)) {}

LauncherDelegate::~LauncherDelegate() {
    // Jobs the worker posted to this object die with it; joining first means none is being
    // posted while the object goes away.
    if (worker.joinable()) {
        worker.join();
    }
}

void LauncherDelegate::applicationDidFinishLaunching() {
    window = std::make_unique<LauncherWindow>();
    window->installEventFilter(this);
    window->present();
    // A window that is never painted (started minimised or hidden) must not hold the update back.
    QTimer::singleShot(std::chrono::milliseconds(250), this, [this] { startPreparation(); });
}

// The preparation starts by initialising the TLS library and resolving names; alongside the
// window's own start-up the two would compete for the processor. Starting it on the turn after the first paint lets the
// player see the window first, at a cost of a few milliseconds to an update of seconds.
bool LauncherDelegate::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window.get() && event->type() == QEvent::Paint) {
        QMetaObject::invokeMethod(this, [this] { startPreparation(); }, Qt::QueuedConnection);
    }
    return QObject::eventFilter(watched, event);
}

void LauncherDelegate::startPreparation() {
    if (preparationStarted) {
        return;
    }
    preparationStarted = true;
    window->removeEventFilter(this);
    // No thread under a tight process or address-space limit: the player gets the one alert,
    // and nothing is thrown into the event loop, which would abort the launcher.
    try {
        worker = std::thread([this] { prepareAndLaunch(); });
    } catch (...) {
        showFailure(std::current_exception());
    }
}

// Every job below is queued to this object's (the GUI) thread, which runs posted jobs one at
// a time in posting order, whichever thread posted them: the last status therefore always
// lands before the end of the launch.
void LauncherDelegate::reportStatus(const std::string& message, double fraction) {
    QMetaObject::invokeMethod(
        this, [this, text = QString::fromStdString(message), fraction] { window->showStatus(text, fraction); },
        Qt::QueuedConnection);
}

void LauncherDelegate::prepareAndLaunch() {
    try {
        const PreparedClient client =
            prepare([this](const std::string& message, double fraction) { reportStatus(message, fraction); });
        startGame(client.executable, gameEnvironment(processEnvironment()));
        QMetaObject::invokeMethod(this, [this] { emit finished(); }, Qt::QueuedConnection);
    } catch (...) {
        QMetaObject::invokeMethod(
            this, [this, error = std::current_exception()] { showFailure(error); }, Qt::QueuedConnection);
    }
}

void LauncherDelegate::showFailure(std::exception_ptr error) {
    window->showFailure(QString::fromStdString(describeError(error)));
    emit finished();
}

} // namespace korvel
