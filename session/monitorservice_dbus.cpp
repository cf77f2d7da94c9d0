#include "monitorservice.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusMetaType>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QFileInfo>

namespace session::monitorservice {

namespace {

// A service busy letting a screen go (its driver may take seconds to give
// the desktop back) answers late, never never.
constexpr int kCallMs = 15000;

const QString kName = QStringLiteral("com.tavrik.Monitor");

// Whether the user's session has a bus. Without one, asking for it would
// make libdbus start a bus of its own (autolaunch) that outlives us.
bool sessionBusThere()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS")
           || (!runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus")));
}

std::unique_ptr<QDBusInterface> service()
{
    if (!sessionBusThere())
        return nullptr;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface() || !bus.interface()->isServiceRegistered(kName))
        return nullptr;
    auto iface = std::make_unique<QDBusInterface>(kName, QStringLiteral("/com/tavrik/Monitor"),
                                                  QStringLiteral("com.tavrik.Monitor1"), bus);
    iface->setTimeout(kCallMs);
    return iface;
}

} // namespace

QString startAdvice()
{
    return QStringLiteral("the monitor service is not running; start it with 'systemctl --user start tavrik-monitord' "
                          "(it starts by itself at the next login)");
}

bool running()
{
    return service() != nullptr;
}

std::optional<std::vector<AutoScreenState>> screens(QString *why)
{
    qDBusRegisterMetaType<QList<QVariantMap>>();
    const std::unique_ptr<QDBusInterface> iface = service();
    if (!iface) {
        if (why)
            *why = QStringLiteral("the monitor service is not running");
        return std::nullopt;
    }
    const QDBusReply<QList<QVariantMap>> reply = iface->call(QStringLiteral("Screens"));
    if (!reply.isValid()) {
        if (why)
            *why = reply.error().message();
        return std::nullopt;
    }
    std::vector<AutoScreenState> list;
    for (const QVariantMap &row : reply.value()) {
        AutoScreenState s;
        s.id = row.value(QStringLiteral("id")).toString();
        s.mode = parseMode(row.value(QStringLiteral("mode")).toString()).value_or(ShowMode::Extend);
        s.state = parseAutoState(row.value(QStringLiteral("state")).toString()).value_or(AutoState::Waiting);
        s.port = row.value(QStringLiteral("port")).toString();
        list.push_back(s);
    }
    return list;
}

bool reload(bool wait)
{
    const std::unique_ptr<QDBusInterface> iface = service();
    if (!iface)
        return false;
    if (!wait)
        return iface->call(QDBus::NoBlock, QStringLiteral("Reload")).type() != QDBusMessage::ErrorMessage;
    return iface->call(QStringLiteral("Reload")).type() == QDBusMessage::ReplyMessage;
}

bool letGo(const QString &key)
{
    const std::unique_ptr<QDBusInterface> iface = service();
    if (!iface)
        return false;
    const QDBusReply<bool> reply = iface->call(QStringLiteral("LetGo"), key);
    return reply.isValid() && reply.value();
}

void takeBack(const QString &key)
{
    if (const std::unique_ptr<QDBusInterface> iface = service())
        iface->call(QDBus::NoBlock, QStringLiteral("TakeBack"), key);
}

Watch::Watch(QObject *parent) : QObject(parent)
{
    if (!sessionBusThere())
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    auto *watcher = new QDBusServiceWatcher(kName, bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, &Watch::changed);
    bus.connect(kName, QStringLiteral("/com/tavrik/Monitor"), QStringLiteral("com.tavrik.Monitor1"),
                QStringLiteral("Changed"), this, SIGNAL(changed()));
}

bool quit()
{
    const std::unique_ptr<QDBusInterface> iface = service();
    return iface && iface->call(QStringLiteral("Quit")).type() == QDBusMessage::ReplyMessage;
}

} // namespace session::monitorservice
