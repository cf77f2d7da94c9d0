// panelctl's window as a program, for tests that run it under tavrik-sim and
// watch it from outside: prints "TITLE | lamp on|off | STATUS" whenever one
// of them changes, and ends when its standard input closes.
#include "mainwindow.h"

#include <QApplication>
#include <QLabel>
#include <QSocketNotifier>
#include <QStatusBar>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    MainWindow window;
    window.show();
    const auto *lamp = window.findChild<QLabel *>(QStringLiteral("lbStatusLED"));
    QString shown;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const QString state = window.windowTitle()
                              + (lamp->styleSheet().contains(QLatin1String("green")) ? QStringLiteral(" | lamp on | ")
                                                                                     : QStringLiteral(" | lamp off | "))
                              + window.statusBar()->currentMessage();
        if (state != shown) {
            shown = state;
            std::printf("%s\n", qPrintable(state));
            std::fflush(stdout);
        }
    });
    watch.start(20);
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[256];
        if (read(STDIN_FILENO, buffer, sizeof buffer) <= 0)
            QCoreApplication::quit();
    });
    return app.exec();
}
