#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <thread>

#include <QObject>

#include "installer/online_installer.h"
#include "installer/operations.h"

namespace korvel {

class LauncherWindow;

// Runs the installer for one launch and names the game to start. Called once, on the
// launcher's background thread; status must be safe to call from any thread, and it is.
using PrepareOperation = std::function<PreparedClient(const StatusOperation& status)>;

// Builds the window and runs one launch: prepare, start the game, or show the failure.
// Lives on the GUI thread. Every failure of the preparation or of the game's start ends in
// the one alert; nothing is thrown out of the background thread or into the event loop.
class LauncherDelegate : public QObject {
    Q_OBJECT

public:
    explicit LauncherDelegate(PrepareOperation prepare);
    // Waits for the background thread. The launcher itself never gets here: it ends the
    // process without unwinding (runLauncherApplication), because the preparation may be
    // blocked on the network for minutes.
    ~LauncherDelegate() override;

    // Builds and presents the window and starts prepareAndLaunch() on one background thread
    // once the window's first frame is on screen. Called once.
    void applicationDidFinishLaunching();

signals:
    // The launch is over: the game has started, or the player dismissed the failure alert.
    void finished();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void startPreparation();
    void prepareAndLaunch();
    void reportStatus(const std::string& message, double fraction);
    // The one alert for error, then the end of the launch. GUI thread only.
    void showFailure(std::exception_ptr error);

    PrepareOperation prepare;
    std::unique_ptr<LauncherWindow> window;
    bool preparationStarted = false;
    std::thread worker;
};

} // namespace korvel
