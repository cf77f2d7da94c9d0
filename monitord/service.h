#pragma once

#include "autoshow.h"
#include "x11sleep.h"

#include <QDBusContext>
#include <QDBusServiceWatcher>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QTimer>
#include <QVariantMap>

// The per-user service on the session bus: monitor mode for the remembered
// screens, what it shows, and screens lent to the other programs. The
// desktop's screensaver, lock, power saving and logind's suspend darken
// the shown screen.
class MonitorService : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.tavrik.Monitor1")

public:
    // `driver`: the frame driver to start; `scanMs`: how often the bus is
    // looked at (0: as often as it needs).
    MonitorService(const QString &driver, int scanMs, QObject *parent = nullptr);

    // Takes the service's name and starts. False with `why` when another
    // copy already runs for this user, or there is no session bus.
    bool start(QString *why);

public slots:
    // One map per remembered screen: id, mode, state (its key), text, port.
    Q_SCRIPTABLE QList<QVariantMap> Screens();
    // Lets the screen (device ID or port text) go until the caller asks it
    // back or leaves the bus. False when it is not a remembered screen.
    Q_SCRIPTABLE bool LetGo(const QString &key);
    Q_SCRIPTABLE void TakeBack(const QString &key);
    // Reads monitor.conf again.
    Q_SCRIPTABLE void Reload();
    // Ends the service for this login.
    Q_SCRIPTABLE void Quit();

signals:
    Q_SCRIPTABLE void Changed();

private slots:
    // Connected by name: the D-Bus signals of the desktop and of logind.
    void onScreenSaver(bool active);
    void onGnomeScreenSaver(bool active);
    void onDisplayConfig(const QString &interface, const QVariantMap &changed, const QStringList &invalidated);
    void onPrepareForSleep(bool sleeping);

private:
    void holdSleep();
    void judgeSleep();

    session::AutoShow m_show;
    X11Sleep m_x11;
    QTimer m_scan;
    QDBusServiceWatcher m_holders;
    QDBusUnixFileDescriptor m_sleepDelay;
    bool m_x11Blank = false;
    bool m_saver = false;
    bool m_gnomeSaver = false;
    bool m_powerSave = false;
    bool m_suspending = false;
};
