// tavrik-monitord: the per-user service that makes each remembered screen a
// display of the desktop whenever it is attached, from login to logout.
#include "service.h"

#include "console.h"

#include <QCoreApplication>
#include <QTimer>

#include <atomic>
#include <cstdio>

namespace {

std::atomic<bool> g_stop{false};

void onStop()
{
    g_stop.store(true);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("tavrik-monitord"));
    // systemd's stop and the session's end: the shown screen is blanked and
    // its driver ended on the way out, which gives the desktop its size back.
    platform::catchStopRequests(onStop);
    QTimer stopLook;
    QObject::connect(&stopLook, &QTimer::timeout, &app, [] {
        if (g_stop.load())
            QCoreApplication::quit();
    });
    stopLook.start(250);

    MonitorService service(QCoreApplication::applicationDirPath() + QStringLiteral("/telvdrv"),
                           0);
    QString why;
    if (!service.start(&why)) {
        std::fprintf(stderr, "tavrik-monitord: %s\n", qPrintable(why));
        // Not a failure for systemd to restart: the other copy serves.
        return why.startsWith(QLatin1String("another")) ? 0 : 1;
    }
    return app.exec();
}
