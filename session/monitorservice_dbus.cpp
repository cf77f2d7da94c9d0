#include "monitorservice.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QFileInfo>

namespace session::monitorservice {

namespace {

// A service busy letting a screen go (its driver may take seconds to give
// the desktop back) answers late, but it answers.
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

// The session bus when the service is on it. Calls go as plain messages:
// an interface object would ask the service to describe itself first.
std::optional<QDBusConnection> service()
{
    if (!sessionBusThere())
        return std::nullopt;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface() || !bus.interface()->isServiceRegistered(kName))
        return std::nullopt;
    return bus;
}

QDBusMessage callOf(const QString &method, const QVariantList &arguments = {})
{
    QDBusMessage call = QDBusMessage::createMethodCall(kName, QStringLiteral("/com/tavrik/Monitor"),
                                                       QStringLiteral("com.tavrik.Monitor1"), method);
    call.setArguments(arguments);
    return call;
}

} // namespace

QString startAdvice()
{
    return QStringLiteral("the monitor service is not running; start it with 'systemctl --user start tavrik-monitord' "
                          "(it starts by itself at the next login)");
}

bool running()
{
    return service().has_value();
}

std::optional<std::vector<AutoScreenState>> screens(QString *why)
{
    qDBusRegisterMetaType<QList<QVariantMap>>();
    std::optional<QDBusConnection> bus = service();
    if (!bus) {
        if (why)
            *why = QStringLiteral("the monitor service is not running");
        return std::nullopt;
    }
    const QDBusReply<QList<QVariantMap>> reply = bus->call(callOf(QStringLiteral("Screens")), QDBus::Block, kCallMs);
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
    std::optional<QDBusConnection> bus = service();
    if (!bus)
        return false;
    if (!wait)
        return bus->send(callOf(QStringLiteral("Reload")));
    return bus->call(callOf(QStringLiteral("Reload")), QDBus::Block, kCallMs).type() == QDBusMessage::ReplyMessage;
}

bool letGo(const QString &key)
{
    std::optional<QDBusConnection> bus = service();
    if (!bus)
        return false;
    const QDBusReply<bool> reply = bus->call(callOf(QStringLiteral("LetGo"), {key}), QDBus::Block, kCallMs);
    return reply.isValid() && reply.value();
}

void takeBack(const QString &key)
{
    if (std::optional<QDBusConnection> bus = service())
        bus->send(callOf(QStringLiteral("TakeBack"), {key}));
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
    std::optional<QDBusConnection> bus = service();
    return bus && bus->call(callOf(QStringLiteral("Quit")), QDBus::Block, kCallMs).type() == QDBusMessage::ReplyMessage;
}

} // namespace session::monitorservice
