#include "waylandbed.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSize>
#include <QThread>
#include <QUuid>

#include <algorithm>
#include <functional>

namespace waylandbed {

QList<Monitor> gnomeMonitors()
{
    const QString service = QStringLiteral("org.gnome.Mutter.DisplayConfig");
    const QDBusMessage reply = QDBusConnection::sessionBus().call(
        QDBusMessage::createMethodCall(service, QStringLiteral("/org/gnome/Mutter/DisplayConfig"), service,
                                       QStringLiteral("GetCurrentState")),
        QDBus::Block, 5000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() < 3)
        return {};

    // a((ssss)a(siiddada{sv})a{sv}): the monitors and their modes.
    QHash<QString, Monitor> byConnector;
    const QDBusArgument monitors = reply.arguments().at(1).value<QDBusArgument>();
    monitors.beginArray();
    while (!monitors.atEnd()) {
        Monitor m;
        QString vendor;
        QString serial;
        monitors.beginStructure();
        monitors.beginStructure();
        monitors >> m.connector >> vendor >> m.product >> serial;
        monitors.endStructure();
        monitors.beginArray();
        while (!monitors.atEnd()) {
            QString id;
            int width = 0;
            int height = 0;
            double rate = 0;
            double scale = 0;
            QList<double> scales;
            QVariantMap properties;
            monitors.beginStructure();
            monitors >> id >> width >> height >> rate >> scale >> scales >> properties;
            monitors.endStructure();
            if (properties.value(QStringLiteral("is-current")).toBool())
                m.area.setSize(QSize(width, height));
        }
        monitors.endArray();
        QVariantMap properties;
        monitors >> properties;
        monitors.endStructure();
        m.match = vendor + QLatin1Char(':') + m.product + QLatin1Char(':') + serial;
        byConnector.insert(m.connector, m);
    }
    monitors.endArray();

    // a(iiduba(ssss)a{sv}): where they lie.
    QList<Monitor> result;
    const QDBusArgument logical = reply.arguments().at(2).value<QDBusArgument>();
    logical.beginArray();
    while (!logical.atEnd()) {
        int x = 0;
        int y = 0;
        double scale = 0;
        uint transform = 0;
        bool primary = false;
        logical.beginStructure();
        logical >> x >> y >> scale >> transform >> primary;
        logical.beginArray();
        while (!logical.atEnd()) {
            QString connector;
            QString vendor;
            QString product;
            QString serial;
            logical.beginStructure();
            logical >> connector >> vendor >> product >> serial;
            logical.endStructure();
            Monitor m = byConnector.value(connector);
            m.area.moveTopLeft(QPoint(x, y));
            m.primary = primary;
            result << m;
        }
        logical.endArray();
        QVariantMap properties;
        logical >> properties;
        logical.endStructure();
    }
    logical.endArray();
    return result;
}

Monitor addedMonitor(const QList<Monitor> &before)
{
    for (const Monitor &m : gnomeMonitors())
        if (std::none_of(before.begin(), before.end(), [&m](const Monitor &b) { return b.connector == m.connector; }))
            return m;
    return {};
}

QString rememberScreenCastChoice(const QString &tokenFile, unsigned source, const QString &match)
{
    // The portal keeps tokens in the permission store, table "screencast":
    // for unsandboxed programs (app id "") GNOME's restore data, whose
    // streams are (id, source type, what to find it by).
    const QString token = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const QString what = source == kVirtualSource ? QStringLiteral("<true>") : QStringLiteral("<'%1'>").arg(match);
    QProcess gdbus;
    gdbus.setProcessChannelMode(QProcess::MergedChannels);
    gdbus.start(QStringLiteral("gdbus"),
                {QStringLiteral("call"), QStringLiteral("--session"), QStringLiteral("-d"),
                 QStringLiteral("org.freedesktop.impl.portal.PermissionStore"), QStringLiteral("-o"),
                 QStringLiteral("/org/freedesktop/impl/portal/PermissionStore"), QStringLiteral("-m"),
                 QStringLiteral("org.freedesktop.impl.portal.PermissionStore.Set"), QStringLiteral("screencast"),
                 QStringLiteral("true"), token, QStringLiteral("{'': ['yes']}"),
                 QStringLiteral("<('GNOME', uint32 1, <(int64 0, int64 0, [(uint32 0, uint32 %1, %2)])>)>")
                     .arg(source)
                     .arg(what)});
    if (!gdbus.waitForFinished(30000) || gdbus.exitStatus() != QProcess::NormalExit || gdbus.exitCode() != 0)
        return QStringLiteral("the permission store took no token: ") + QString::fromUtf8(gdbus.readAll());

    QFile file(tokenFile);
    if (!QDir().mkpath(QFileInfo(tokenFile).absolutePath()) || !file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner) || file.write(token.toUtf8()) != token.size())
        return QStringLiteral("cannot write ") + tokenFile;
    return {};
}

namespace {

// An object on the accessibility (AT-SPI) bus.
struct Accessible {
    QString service;
    QString path;
};

// A call's first answer; invalid when it failed.
QVariant ask(const QDBusConnection &bus, const Accessible &a, const char *interface, const char *method,
             const QVariantList &arguments = {})
{
    QDBusMessage call = QDBusMessage::createMethodCall(a.service, a.path, QLatin1String(interface), QLatin1String(method));
    call.setArguments(arguments);
    const QDBusMessage reply = bus.call(call, QDBus::Block, 5000);
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() ? reply.arguments().constFirst()
                                                                                        : QVariant();
}

// Gives each object under `a`, `a` too, with its parent to `visit`.
void walk(const QDBusConnection &bus, const Accessible &a, const Accessible &parent,
          const std::function<void(const Accessible &, const Accessible &)> &visit)
{
    visit(a, parent);
    const QVariant children = ask(bus, a, "org.a11y.atspi.Accessible", "GetChildren");
    if (children.userType() != qMetaTypeId<QDBusArgument>())
        return;
    const QDBusArgument list = children.value<QDBusArgument>();
    QList<Accessible> found;
    list.beginArray();
    while (!list.atEnd()) {
        QDBusObjectPath path;
        found.append(Accessible());
        list.beginStructure();
        list >> found.last().service >> path;
        list.endStructure();
        found.last().path = path.path();
    }
    list.endArray();
    for (const Accessible &child : found)
        walk(bus, child, a, visit);
}

bool checked(const QDBusConnection &bus, const Accessible &a)
{
    const QVariant state = ask(bus, a, "org.a11y.atspi.Accessible", "GetState");
    QList<uint> words;
    if (state.userType() == qMetaTypeId<QDBusArgument>())
        state.value<QDBusArgument>() >> words;
    return !words.isEmpty() && (words.first() & (1u << 4)); // ATSPI_STATE_CHECKED
}

} // namespace

QString answerRemoteDesktopDialog(const QString &source)
{
    const QString address = ask(QDBusConnection::sessionBus(), {QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus")},
                                "org.a11y.Bus", "GetAddress")
                                .toString();
    if (address.isEmpty())
        return QStringLiteral("no accessibility bus");
    const QDBusConnection bus = QDBusConnection::connectToBus(address, QStringLiteral("atspi"));
    Accessible row;
    Accessible list;
    Accessible allow;
    Accessible share;
    walk(bus, {QStringLiteral("org.a11y.atspi.Registry"), QStringLiteral("/org/a11y/atspi/accessible/root")}, {},
         [&](const Accessible &a, const Accessible &parent) {
             const QString role = ask(bus, a, "org.a11y.atspi.Accessible", "GetRoleName").toString();
             const QString name = ask(bus, a, "org.freedesktop.DBus.Properties", "Get",
                                      {QStringLiteral("org.a11y.atspi.Accessible"), QStringLiteral("Name")})
                                      .value<QDBusVariant>()
                                      .variant()
                                      .toString();
             if (role == QLatin1String("list item") && name == source) {
                 row = a;
                 list = parent;
             } else if (role == QLatin1String("switch") && name == QLatin1String("Allow remote interaction")) {
                 allow = a;
             } else if (role == QLatin1String("button") && name.contains(QLatin1String("Share"))) {
                 share = a;
             }
         });
    if (row.path.isEmpty() || allow.path.isEmpty() || share.path.isEmpty())
        return QStringLiteral("no dialog offering %1 with remote interaction").arg(source);

    const QVariant index = ask(bus, row, "org.a11y.atspi.Accessible", "GetIndexInParent");
    if (!ask(bus, list, "org.a11y.atspi.Selection", "SelectChild", {index}).toBool())
        return QStringLiteral("cannot pick %1").arg(source);
    // The switch turns on at the end of its animation.
    if (!checked(bus, allow))
        ask(bus, allow, "org.a11y.atspi.Action", "DoAction", {0});
    const QDeadlineTimer deadline(10000);
    while (!checked(bus, allow) && !deadline.hasExpired())
        QThread::msleep(50);
    if (!checked(bus, allow))
        return QStringLiteral("remote interaction stays off");
    if (!ask(bus, share, "org.a11y.atspi.Action", "DoAction", {0}).toBool())
        return QStringLiteral("Share cannot be clicked");
    return {};
}

PictureWindow::PictureWindow(const QString &program, QPoint at, const QStringList &show)
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(program, QStringList{QString::number(at.x()), QString::number(at.y())} + show);
    m_shown = m_process.waitForReadyRead(15000) && m_process.readLine().startsWith("screen ");
}

QStringList PictureWindow::said()
{
    while (m_process.canReadLine())
        m_said << QString::fromLocal8Bit(m_process.readLine()).trimmed();
    return m_said;
}

PictureWindow::~PictureWindow()
{
    m_process.terminate();
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished(10000);
    }
}

} // namespace waylandbed
