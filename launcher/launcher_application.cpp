#include "launcher/launcher_application.h"

#include <csignal>
#include <cstdlib>
#include <string>

#include <QApplication>

namespace korvel {

void runLauncherApplication(const char* programName, PrepareOperation prepare) {
    // A file-size limit below a release file must fail that write with EFBIG, which the
    // installer answers like any other failed download (staging removed, the fallback tried),
    // instead of killing the launcher mid-download. Children start with every signal at its
    // default again (startProcess).
    std::signal(SIGXFSZ, SIG_IGN);
    std::string name = programName != nullptr ? programName : "korvel-launcher";
    int qtArgc = 1;
    char* qtArgv[] = {name.data(), nullptr};
    QApplication application(qtArgc, qtArgv);

    LauncherDelegate delegate(std::move(prepare));
    QObject::connect(&delegate, &LauncherDelegate::finished, &application, [] { QCoreApplication::exit(0); });
    QObject::connect(&application, &QGuiApplication::lastWindowClosed, &application,
                     [] { QCoreApplication::exit(0); });
    delegate.applicationDidFinishLaunching();
    application.exec();

    // The background thread may still be inside prepare(), blocked on the network for
    // minutes; a normal exit would wait for it or destroy the statics and library state it
    // is using. Ending here without unwinding is safe for the install root: the kernel drops
    // the update lock with the process, staged files and directories carry fresh names and
    // are never selected, and the selection changes only by a flushed, atomic replacement.
    std::_Exit(0);
}

} // namespace korvel
