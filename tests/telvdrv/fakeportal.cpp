// A stand-in screen-cast portal on the session bus, for the frame driver's
// tests: offers the source types and cursor modes it is told, answers each
// request at once, writes every call's options to --record (one line per
// call, keys sorted), hands out restore tokens ("tok-1", then the one after
// the token it was handed back: "tok-2" for "tok-1", …), a stream of the
// source type --source-type says (none said without it), of the size
// --stream-size WxH says (none without it), and a PipeWire
// remote whose other end is already closed. With --remote-desktop it offers
// that interface too, of version V, with a touchscreen: its calls are
// recorded as "RemoteDesktop.METHOD", its tokens are "rd-1", … (none
// before version 2, which ignores persist_mode as GNOME 43's does) and its
// Start grants the devices asked for, or those --devices says.
//   fakeportal --record FILE [--types N] [--cursors N] [--source-type N] [--stream-size WxH]
//              [--refuse METHOD] [--silent METHOD] [--bad-streams string|strings]
//              [--remote-desktop V] [--devices N] [--input-late MS] [--kde]
// --refuse answers METHOD with "cancelled"; --silent never answers it, as
// a dialog nobody attends to. --input-late takes each input call on a
// thread of its own, as xdg-desktop-portal does, and records and answers
// it after up to MS milliseconds, at random. --kde loses touch downs and
// moves as KDE Plasma 5.27's backend does (it declares their points as
// whole numbers, so the portal's calls to it fail): answered, never
// recorded.
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QFile>
#include <QRandomGenerator>
#include <QSize>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include <sys/socket.h>
#include <unistd.h>

struct CastStream {
    uint node = 0;
    QVariantMap properties;
};
Q_DECLARE_METATYPE(CastStream)

QDBusArgument &operator<<(QDBusArgument &argument, const CastStream &stream)
{
    argument.beginStructure();
    argument << stream.node << stream.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, CastStream &stream)
{
    argument.beginStructure();
    argument >> stream.node >> stream.properties;
    argument.endStructure();
    return argument;
}

class FakeScreenCast : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.ScreenCast")
    Q_PROPERTY(uint AvailableSourceTypes MEMBER m_types)
    Q_PROPERTY(uint AvailableCursorModes MEMBER m_cursors)
    Q_PROPERTY(uint version MEMBER m_version)

public:
    FakeScreenCast(QString record, uint types, uint cursors, QVariant sourceType, QString refuse, QString silent,
                   QString badStreams)
        : m_record(std::move(record)), m_types(types), m_cursors(cursors), m_sourceType(std::move(sourceType)),
          m_refuse(std::move(refuse)), m_silent(std::move(silent)), m_badStreams(std::move(badStreams))
    {
    }

public Q_SLOTS:
    QDBusObjectPath CreateSession(const QVariantMap &options, const QDBusMessage &message)
    {
        QVariantMap results;
        results.insert(QStringLiteral("session_handle"),
                       QStringLiteral("/org/freedesktop/portal/desktop/session/%1/%2")
                           .arg(senderPart(message), options.value(QStringLiteral("session_handle_token")).toString()));
        return answer(QStringLiteral("CreateSession"), options, message, results);
    }

    QDBusObjectPath SelectSources(const QDBusObjectPath &session, const QVariantMap &options,
                                  const QDBusMessage &message)
    {
        // A remote-desktop session's grant is remembered by its devices.
        if (m_sessions.contains(session.path()) && options.contains(QStringLiteral("persist_mode")))
            return refuseArgument(message);
        const QString restore = options.value(QStringLiteral("restore_token")).toString();
        m_nextToken = restore.startsWith(QLatin1String("tok-")) ? restore.mid(4).toInt() + 1 : 1;
        return answer(QStringLiteral("SelectSources"), options, message, {});
    }

    QDBusObjectPath Start(const QDBusObjectPath &, const QString &, const QVariantMap &options,
                          const QDBusMessage &message)
    {
        QVariantMap results;
        if (m_badStreams == QLatin1String("string")) {
            results.insert(QStringLiteral("streams"), QStringLiteral("not a list of streams"));
        } else if (m_badStreams == QLatin1String("strings")) {
            // An array, but of the wrong elements.
            QDBusArgument odd;
            odd.beginArray(QMetaType::fromType<QString>());
            odd << QStringLiteral("42");
            odd.endArray();
            results.insert(QStringLiteral("streams"), QVariant::fromValue(odd));
        } else {
            results = castResults();
        }
        results.insert(QStringLiteral("restore_token"), QStringLiteral("tok-%1").arg(m_nextToken));
        return answer(QStringLiteral("Start"), options, message, results);
    }

public:
    // What the remote-desktop interface shares with the cast: its sessions,
    // and the stream its Start hands out.
    QVariantMap castResults()
    {
        QVariantMap properties;
        if (m_sourceType.isValid())
            properties.insert(QStringLiteral("source_type"), m_sourceType);
        if (!m_size.isEmpty()) {
            QDBusArgument size;
            size.beginStructure();
            size << m_size.width() << m_size.height();
            size.endStructure();
            properties.insert(QStringLiteral("size"), QVariant::fromValue(size));
        }
        return {{QStringLiteral("streams"), QVariant::fromValue(QList<CastStream>{{42, properties}})}};
    }
    QStringList m_sessions;
    QSize m_size; // the stream's, when told

    QDBusObjectPath refuseArgument(const QDBusMessage &message)
    {
        message.setDelayedReply(true);
        QDBusConnection::sessionBus().send(message.createErrorReply(
            QStringLiteral("org.freedesktop.portal.Error.InvalidArgument"), QStringLiteral("cannot persist")));
        return {};
    }

public Q_SLOTS:
    QDBusUnixFileDescriptor OpenPipeWireRemote(const QDBusObjectPath &, const QVariantMap &options)
    {
        write(QStringLiteral("OpenPipeWireRemote"), options);
        int ends[2] = {-1, -1};
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
            return {};
        // Nobody behind it: the driver's stream ends at once.
        close(ends[1]);
        QDBusUnixFileDescriptor fd(ends[0]);
        close(ends[0]);
        return fd;
    }

public:
    static QString senderPart(const QDBusMessage &message)
    {
        QString sender = message.service().mid(1);
        sender.replace(QLatin1Char('.'), QLatin1Char('_'));
        return sender;
    }

    void write(const QString &method, const QVariantMap &options) const
    {
        QStringList line{method};
        for (auto it = options.constBegin(); it != options.constEnd(); ++it)
            if (it.key() != QLatin1String("handle_token") && it.key() != QLatin1String("session_handle_token"))
                line << it.key() + QLatin1Char('=') + it.value().toString();
        // Late input calls are recorded from their own threads.
        static std::mutex one;
        const std::lock_guard<std::mutex> hold(one);
        QFile file(m_record);
        if (file.open(QIODevice::Append))
            file.write(line.join(QLatin1Char(' ')).toUtf8() + '\n');
    }

    // The request object's Response, after the call's reply as a real
    // portal sends it.
    QDBusObjectPath answer(const QString &method, const QVariantMap &options, const QDBusMessage &message,
                           const QVariantMap &results)
    {
        write(method, options);
        const QString path = QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2")
                                 .arg(senderPart(message), options.value(QStringLiteral("handle_token")).toString());
        const uint code = method == m_refuse ? 1 : 0;
        if (method == m_silent)
            return QDBusObjectPath(path);
        QTimer::singleShot(0, this, [path, code, results, destination = message.service()] {
            QDBusMessage response =
                QDBusMessage::createTargetedSignal(destination, path, QStringLiteral("org.freedesktop.portal.Request"),
                                                   QStringLiteral("Response"));
            response << code << (code == 0 ? results : QVariantMap());
            QDBusConnection::sessionBus().send(response);
        });
        return QDBusObjectPath(path);
    }

private:
    QString m_record;
    uint m_types;
    uint m_cursors;
    QVariant m_sourceType;
    uint m_version = 4;
    QString m_refuse;
    QString m_silent;
    QString m_badStreams;
    int m_nextToken = 1;
};

class FakeRemoteDesktop : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.RemoteDesktop")
    Q_PROPERTY(uint AvailableDeviceTypes MEMBER m_devices)
    Q_PROPERTY(uint version MEMBER m_version)

public:
    FakeRemoteDesktop(FakeScreenCast *cast, uint version, QVariant granted, int lateMs, bool kde)
        : QDBusAbstractAdaptor(cast), m_cast(cast), m_version(version), m_granted(std::move(granted)),
          m_lateMs(lateMs), m_kde(kde)
    {
    }

public Q_SLOTS:
    QDBusObjectPath CreateSession(const QVariantMap &options, const QDBusMessage &message)
    {
        const QString session = QStringLiteral("/org/freedesktop/portal/desktop/session/%1/%2")
                                    .arg(FakeScreenCast::senderPart(message),
                                         options.value(QStringLiteral("session_handle_token")).toString());
        m_cast->m_sessions << session;
        return m_cast->answer(QStringLiteral("RemoteDesktop.CreateSession"), options, message,
                              {{QStringLiteral("session_handle"), session}});
    }

    QDBusObjectPath SelectDevices(const QDBusObjectPath &, const QVariantMap &options, const QDBusMessage &message)
    {
        const QString restore = options.value(QStringLiteral("restore_token")).toString();
        m_nextToken = restore.startsWith(QLatin1String("rd-")) ? restore.mid(3).toInt() + 1 : 1;
        m_asked = options.value(QStringLiteral("types"), 7u).toUInt();
        return m_cast->answer(QStringLiteral("RemoteDesktop.SelectDevices"), options, message, {});
    }

    QDBusObjectPath Start(const QDBusObjectPath &, const QString &, const QVariantMap &options,
                          const QDBusMessage &message)
    {
        QVariantMap results = m_cast->castResults();
        results.insert(QStringLiteral("devices"), m_granted.isValid() ? m_granted.toUInt() : m_asked);
        if (m_version >= 2)
            results.insert(QStringLiteral("restore_token"), QStringLiteral("rd-%1").arg(m_nextToken));
        return m_cast->answer(QStringLiteral("RemoteDesktop.Start"), options, message, results);
    }

    void NotifyTouchDown(const QDBusObjectPath &session, const QVariantMap &, uint stream, uint slot, double x,
                         double y, const QDBusMessage &message)
    {
        input(QStringLiteral("TouchDown"), session, QStringLiteral("stream=%1 slot=%2 x=%3 y=%4").arg(stream).arg(slot).arg(x).arg(y),
              message);
    }
    void NotifyTouchMotion(const QDBusObjectPath &session, const QVariantMap &, uint stream, uint slot, double x,
                           double y, const QDBusMessage &message)
    {
        input(QStringLiteral("TouchMotion"), session, QStringLiteral("stream=%1 slot=%2 x=%3 y=%4").arg(stream).arg(slot).arg(x).arg(y),
              message);
    }
    void NotifyTouchUp(const QDBusObjectPath &session, const QVariantMap &, uint slot, const QDBusMessage &message)
    {
        input(QStringLiteral("TouchUp"), session, QStringLiteral("slot=%1").arg(slot), message);
    }

    void NotifyPointerMotion(const QDBusObjectPath &session, const QVariantMap &, double dx, double dy,
                             const QDBusMessage &message)
    {
        input(QStringLiteral("PointerMotion"), session, QStringLiteral("dx=%1 dy=%2").arg(dx).arg(dy), message);
    }
    void NotifyPointerMotionAbsolute(const QDBusObjectPath &session, const QVariantMap &, uint stream, double x,
                                     double y, const QDBusMessage &message)
    {
        input(QStringLiteral("PointerMotionAbsolute"), session,
              QStringLiteral("stream=%1 x=%2 y=%3").arg(stream).arg(x).arg(y), message);
    }
    void NotifyPointerButton(const QDBusObjectPath &session, const QVariantMap &, int button, uint state,
                             const QDBusMessage &message)
    {
        input(QStringLiteral("PointerButton"), session, QStringLiteral("button=%1 state=%2").arg(button).arg(state),
              message);
    }

private:
    void input(const QString &event, const QDBusObjectPath &session, const QString &what, const QDBusMessage &message)
    {
        if (m_kde && (event == QLatin1String("TouchDown") || event == QLatin1String("TouchMotion")))
            return;
        // Only the remote-desktop session that was started takes input.
        const bool known = m_cast->m_sessions.contains(session.path());
        const QString line = QStringLiteral("RemoteDesktop.Notify%1 %2%3")
                                 .arg(event, what, known ? QString() : QStringLiteral(" on an unknown session"));
        if (m_lateMs <= 0) {
            m_cast->write(line, {});
            return;
        }
        message.setDelayedReply(true);
        const int late = QRandomGenerator::global()->bounded(m_lateMs + 1);
        std::thread([cast = m_cast, line, message, late] {
            std::this_thread::sleep_for(std::chrono::milliseconds(late));
            cast->write(line, {});
            QDBusConnection::sessionBus().send(message.createReply());
        }).detach();
    }

    FakeScreenCast *m_cast;
    uint m_devices = 7;
    uint m_version;
    QVariant m_granted;
    uint m_asked = 7;
    int m_nextToken = 1;
    int m_lateMs;
    bool m_kde;
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    qDBusRegisterMetaType<CastStream>();
    qDBusRegisterMetaType<QList<CastStream>>();
    const QStringList args = app.arguments();
    const auto value = [&args](const char *name, const QString &fallback) {
        const qsizetype at = args.indexOf(QLatin1String(name));
        return at > 0 && at + 1 < args.size() ? args.at(at + 1) : fallback;
    };
    FakeScreenCast portal(value("--record", QStringLiteral("/dev/null")), value("--types", QStringLiteral("1")).toUInt(),
                          value("--cursors", QStringLiteral("1")).toUInt(),
                          args.contains(QLatin1String("--source-type"))
                              ? QVariant(value("--source-type", {}).toUInt())
                              : QVariant(),
                          value("--refuse", QString()),
                          value("--silent", QString()), value("--bad-streams", QString()));
    const QStringList size = value("--stream-size", {}).split(QLatin1Char('x'));
    if (size.size() == 2)
        portal.m_size = QSize(size[0].toInt(), size[1].toInt());
    if (args.contains(QLatin1String("--remote-desktop")))
        new FakeRemoteDesktop(&portal, value("--remote-desktop", {}).toUInt(),
                              args.contains(QLatin1String("--devices")) ? QVariant(value("--devices", {}).toUInt())
                                                                         : QVariant(),
                              value("--input-late", QStringLiteral("0")).toInt(), args.contains(QLatin1String("--kde")));
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), &portal,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties
                                | QDBusConnection::ExportAdaptors)
        || !bus.registerService(QStringLiteral("org.freedesktop.portal.Desktop"))) {
        std::fprintf(stderr, "fakeportal: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}

#include "fakeportal.moc"
