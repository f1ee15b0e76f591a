// Pieces of the launcher in a process of their own, for the reliability tests.
//
//   korvel-reliability-child update ROOT          one update of ROOT (prepare()) from a stub network
//                                                 that offers release "r1"; exit status 0 when it
//                                                 installed, else the error's text on standard error
//   korvel-reliability-child launcher ROOT LIMIT  the launcher's application running the same update
//                                                 under LIMIT; prints "alert: " and the alert's first
//                                                 paragraph up to the path it names, then dismisses
//                                                 it. LIMIT "file-size": 64 KiB per file;
//                                                 "address-space": once the window has painted,
//                                                 6 MiB beyond what the process holds, too little
//                                                 for a thread's stack, enough for the alert
//   anything else, as the game or as the signature tool: writes the descriptors it holds to the
//   file $DESCRIPTOR_REPORT ("0 1 2 3:/target of 3") and exits with 0
#include <chrono>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <string>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include "launcher/launcher_application.h"
#include "launcher/launcher_window.h"
#include "tests/support/sample_release.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace korvel;
namespace fs = std::filesystem;

PreparedClient update(const fs::path& root, const StatusOperation& status) {
    // The pack is large enough that a 64 KiB file-size limit stops its download part-way.
    static const std::map<std::string, std::string> network = test::sampleRelease("r1", 256 << 10).served();
    const auto download = [](const std::string& url, const fs::path& destination, std::int64_t,
                             const Progress& progress) { test::deliver(network, url, destination, progress); };
    return OnlineInstaller(root, download, [](const fs::path&) {}, status).prepare();
}

void dismissAlertWhenShown() {
    if (auto* alert = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        const QString error = alert->informativeText().section("\n\n", 0, 0).section(": /", 0, 0);
        std::cout << "alert: " << error.toStdString() << std::endl;
        alert->accept();
        return;
    }
    QTimer::singleShot(std::chrono::milliseconds(20), qApp, &dismissAlertWhenShown);
}
Q_COREAPP_STARTUP_FUNCTION(dismissAlertWhenShown)

void limit(int resource, rlim_t bytes) {
    const rlimit both{bytes, bytes};
    ::setrlimit(resource, &both);
}

// The window's first paint starts the preparation's thread on the next turn; the limit comes in
// between, after Qt's own painting threads exist.
struct AddressSpaceLimitAfterFirstPaint : QObject {
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && qobject_cast<LauncherWindow*>(watched) != nullptr) {
            qApp->removeEventFilter(this);
            QMetaObject::invokeMethod(qApp, [] {
                long pages = 0;
                std::ifstream("/proc/self/statm") >> pages;
                limit(RLIMIT_AS, static_cast<rlim_t>(pages * ::sysconf(_SC_PAGESIZE)) + (6 << 20));
            }, Qt::QueuedConnection);
        }
        return false;
    }
};

int reportDescriptors() {
    std::string report;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {  // listed in ascending order
        const int fd = std::stoi(entry.path().filename());
        const std::string target = fs::read_symlink(entry.path());
        if (!target.starts_with("/proc/")) {  // the listing's own descriptor
            report += (report.empty() ? "" : " ") + std::to_string(fd) + (fd > 2 ? ":" + target : "");
        }
    }
    test::writeFile(std::getenv("DESCRIPTOR_REPORT"), report);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc >= 3 ? argv[1] : "";
    if (mode == "launcher" && argc == 4) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        static AddressSpaceLimitAfterFirstPaint addressSpaceLimit;
        if (std::string(argv[3]) == "file-size") {
            limit(RLIMIT_FSIZE, 64 << 10);
        } else {
            qAddPreRoutine([] { qApp->installEventFilter(&addressSpaceLimit); });
        }
        runLauncherApplication(argv[0], std::bind_front(update, fs::path(argv[2])));
    }
    if (mode != "update") {
        return reportDescriptors();
    }
    update(argv[2], {});  // a failure ends the process, with the error's text on standard error
}
