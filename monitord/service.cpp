#include "service.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusReply>

namespace {

const QString kName = QStringLiteral("com.tavrik.Monitor");
const QString kPath = QStringLiteral("/com/tavrik/Monitor");

// logind holds a suspend back at most its InhibitDelayMaxSec (5 s by
// default); the job darkens the screen within one wait slice.
constexpr int kDarkenMs = 300;

} // namespace

MonitorService::MonitorService(const QString &driver, int scanMs, QObject *parent)
    : QObject(parent), m_show(driver)
{
    // Told of plug-ins, a slow look only finds screens another program let go.
    m_scan.setInterval(scanMs > 0 ? scanMs : m_show.toldOfPlugs() ? 3000 : 500);
    connect(&m_scan, &QTimer::timeout, &m_show, &session::AutoShow::scan);
    connect(&m_show, &session::AutoShow::changed, this, &MonitorService::Changed);
    m_holders.setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
    connect(&m_holders, &QDBusServiceWatcher::serviceUnregistered, this, [this](const QString &holder) {
        m_holders.removeWatchedService(holder);
        m_show.holderGone(holder);
    });
}

bool MonitorService::start(QString *why)
{
    qDBusRegisterMetaType<QList<QVariantMap>>();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        *why = QStringLiteral("no session bus: %1").arg(bus.lastError().message());
        return false;
    }
    // The name first: a second copy for the same user must not touch a screen.
    if (!bus.registerService(kName)) {
        *why = QStringLiteral("another tavrik-monitord already runs for this user");
        return false;
    }
    bus.registerObject(kPath, this, QDBusConnection::ExportScriptableSlots | QDBusConnection::ExportScriptableSignals);
    m_holders.setConnection(bus);

    // Whichever of these the desktop has; the others never fire.
    bus.connect({}, QStringLiteral("/org/freedesktop/ScreenSaver"), QStringLiteral("org.freedesktop.ScreenSaver"),
                QStringLiteral("ActiveChanged"), this, SLOT(onScreenSaver(bool)));
    bus.connect({}, QStringLiteral("/ScreenSaver"), QStringLiteral("org.freedesktop.ScreenSaver"),
                QStringLiteral("ActiveChanged"), this, SLOT(onScreenSaver(bool)));
    bus.connect({}, QStringLiteral("/org/gnome/ScreenSaver"), QStringLiteral("org.gnome.ScreenSaver"),
                QStringLiteral("ActiveChanged"), this, SLOT(onGnomeScreenSaver(bool)));
    bus.connect({}, QStringLiteral("/org/gnome/Mutter/DisplayConfig"),
                QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"), this,
                SLOT(onDisplayConfig(QString, QVariantMap, QStringList)));
    QDBusConnection system = QDBusConnection::systemBus();
    if (system.isConnected()) {
        system.connect(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                       QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"), this,
                       SLOT(onPrepareForSleep(bool)));
        holdSleep();
    }

    connect(&m_x11, &X11Sleep::blanked, this, [this](bool blank) {
        m_x11Blank = blank;
        judgeSleep();
    });
    m_x11.start();

    Reload();
    m_scan.start();
    m_show.scan();
    return true;
}

QList<QVariantMap> MonitorService::Screens()
{
    QList<QVariantMap> list;
    for (const session::AutoScreenState &s : m_show.states()) {
        list << QVariantMap{{QStringLiteral("id"), s.id},
                            {QStringLiteral("mode"), session::modeKey(s.mode)},
                            {QStringLiteral("state"), session::autoStateKey(s.state)},
                            {QStringLiteral("text"), session::autoStateText(s.state)},
                            {QStringLiteral("port"), s.port}};
    }
    return list;
}

bool MonitorService::LetGo(const QString &key)
{
    const QString holder = calledFromDBus() ? message().service() : QString();
    if (!m_show.letGo(key, holder))
        return false;
    if (!holder.isEmpty())
        m_holders.addWatchedService(holder);
    return true;
}

void MonitorService::TakeBack(const QString &key)
{
    m_show.takeBack(key, calledFromDBus() ? message().service() : QString());
}

void MonitorService::Reload()
{
    QStringList problems;
    m_show.setRemembered(session::rememberedScreens(session::monitorConfPath(), &problems));
    for (const QString &problem : problems)
        qWarning("%s", qPrintable(problem));
    m_show.scan();
}

void MonitorService::Quit()
{
    QCoreApplication::quit();
}

void MonitorService::onScreenSaver(bool active)
{
    m_saver = active;
    judgeSleep();
}

void MonitorService::onGnomeScreenSaver(bool active)
{
    m_gnomeSaver = active;
    judgeSleep();
}

void MonitorService::onDisplayConfig(const QString &interface, const QVariantMap &changed, const QStringList &)
{
    const auto mode = changed.find(QStringLiteral("PowerSaveMode"));
    if (interface != QLatin1String("org.gnome.Mutter.DisplayConfig") || mode == changed.end())
        return;
    m_powerSave = mode->toInt() != 0; // 0 is on; standby, suspend and off are dark
    judgeSleep();
}

void MonitorService::onPrepareForSleep(bool sleeping)
{
    m_suspending = sleeping;
    judgeSleep();
    if (sleeping) {
        // The suspend waits for our delay lock: let it go once the screen
        // is dark.
        QTimer::singleShot(kDarkenMs, this, [this] {
            // Not the lock taken again after a wake that came first.
            if (m_suspending)
                m_sleepDelay = QDBusUnixFileDescriptor();
        });
    } else {
        holdSleep();
    }
}

void MonitorService::holdSleep()
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep") << QStringLiteral("Tavrik monitor")
         << QStringLiteral("Darken the USB screen before the suspend") << QStringLiteral("delay");
    const QDBusReply<QDBusUnixFileDescriptor> reply = QDBusConnection::systemBus().call(call, QDBus::Block, 2000);
    if (reply.isValid())
        m_sleepDelay = reply.value();
}

void MonitorService::judgeSleep()
{
    const bool asleep = m_x11Blank || m_saver || m_gnomeSaver || m_powerSave || m_suspending;
    if (asleep != m_show.desktopAsleep())
        qInfo(asleep ? "The desktop sleeps: the screen goes dark." : "The desktop woke: the screen shows it again.");
    m_show.setDesktopAsleep(asleep);
}
