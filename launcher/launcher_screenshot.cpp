// Saves a PNG of the launcher window as the player sees it right after launch, at 1× scale.
// Used by scripts/screenshot; not a test.
#include <cstdio>

#include <QApplication>
#include <QPixmap>

#include "launcher/launcher_window.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: korvel-launcher-screenshot OUTPUT.png\n", stderr);
        return 2;
    }
    int qtArgc = 1;
    QApplication application(qtArgc, argv);
    korvel::LauncherWindow window;
    window.present();
    if (!window.grab().save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
