#include "waylandbed.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSize>
#include <QUuid>

#include <algorithm>

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
