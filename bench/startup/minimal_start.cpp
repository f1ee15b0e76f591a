// The yardstick: the smallest Qt Widgets program with a window, one QWidget with one QLabel.
#include <QApplication>
#include <QLabel>
#include <QWidget>

#include "bench/startup/first_paint.h"

int main(int, char** argv) {
    int qtArgc = 1;
    QApplication application(qtArgc, argv);
    QWidget window;
    QLabel label(QStringLiteral("Korvel"), &window);
    window.show();
    korvel::bench::FirstPaintReport report(window);  // shown, but not painted before the loop runs
    return application.exec();
}
