#include "screencastportal.h"

#include "waylandoutputs.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace telvdrv {

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kScreenCast = QStringLiteral("org.freedesktop.portal.ScreenCast");
const QString kRemoteDesktop = QStringLiteral("org.freedesktop.portal.RemoteDesktop");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kSession = QStringLiteral("org.freedesktop.portal.Session");

constexpr uint kMonitorSource = 1;
constexpr uint kVirtualSource = 4;
constexpr uint kEmbeddedCursor = 2;
constexpr uint kPersistUntilRevoked = 2;
constexpr uint kPointer = 2;
constexpr uint kTouchscreen = 4;
// Before it, a remote-desktop grant cannot be remembered (and a cast in
// such a session may not be): the user is asked at every start.
constexpr uint kRemembersRemoteDesktop = 2;
constexpr int kCallTimeoutMs = 30000;
constexpr qint64 kLongestToken = 4096;

// The desktop the portal picks its backend by, as it does itself.
bool onDesktop(const char *name)
{
    const QStringList desktops = qEnvironmentVariable("XDG_CURRENT_DESKTOP").split(QLatin1Char(':'));
    return std::any_of(desktops.begin(), desktops.end(),
                       [name](const QString &d) { return d.compare(QLatin1String(name), Qt::CaseInsensitive) == 0; });
}

// GNOME before 44 makes virtual monitors without advertising them: asked
// for a monitor or a virtual one, its dialog offers "Virtual monitor"
// beside the real ones (a virtual one alone it refuses). KDE Plasma 5
// offers one too, which fails, so only GNOME is asked this way.
bool gnomeDesktop()
{
    return onDesktop("GNOME");
}

// KDE's backend (Plasma 5.27) declares its touch calls with whole-number
// points where the portal passes fractional ones: every touch down and
// move fails inside the portal, unseen by us. Its pointer lands where the
// stream shows the point, so touches go as pointer presses there.
bool kdeBackend()
{
    return onDesktop("KDE");
}

// A stream property of two integers, (ii); (0, 0) when absent or of another kind.
QPoint pair(const QVariant &value)
{
    int a = 0;
    int b = 0;
    if (value.userType() == qMetaTypeId<QDBusArgument>()) {
        const QDBusArgument argument = value.value<QDBusArgument>();
        if (argument.currentSignature() == QLatin1String("(ii)")) {
            argument.beginStructure();
            argument >> a >> b;
            argument.endStructure();
        }
    }
    return {a, b};
}

uint sourcesToAsk(bool extend, uint available)
{
    if (!extend)
        return kMonitorSource;
    if (available & kVirtualSource)
        return kVirtualSource;
    return gnomeDesktop() ? kMonitorSource | kVirtualSource : kMonitorSource;
}

} // namespace

// Receives the portal's signals; QtDBus delivers them to slots only.
class PortalListener : public QObject {
    Q_OBJECT
public:
    bool answered = false;
    uint code = 2;
    QVariantMap results;
    bool sessionClosed = false;

public Q_SLOTS:
    void onResponse(uint response, const QVariantMap &values)
    {
        answered = true;
        code = response;
        results = values;
        Q_EMIT responded();
    }
    void onClosed(const QVariantMap &) { sessionClosed = true; }

Q_SIGNALS:
    void responded();
};

struct ScreenCastPortal::State {
    State(QString token, QString remoteToken, QDBusConnection connection)
        : tokenFile(std::move(token)), remoteTokenFile(std::move(remoteToken)), bus(std::move(connection))
    {
    }

    QString tokenFile;
    QString remoteTokenFile;
    QDBusConnection bus;
    bool remote = false;          // the session is a remote-desktop one
    bool remoteRemembers = false; // and its grant can be kept for the next start
    uint devices = kTouchscreen;  // what touches go through in it
    PortalListener listener;
    QString session;
    int counter = 0;
    std::function<bool()> stop = [] { return false; };

    ScreenCast run(uint asked, uint cursors, uint version);
    QString remoteDesktopRefusal(uint asked);
    void closeSession();

    QString nextToken() { return QStringLiteral("tavrik%1_%2").arg(QCoreApplication::applicationPid()).arg(++counter); }

    // Where the portal puts the request object for `token`.
    QString requestPath(const QString &token) const
    {
        QString sender = bus.baseService().mid(1);
        sender.replace(QLatin1Char('.'), QLatin1Char('_'));
        return QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
    }

    bool listenOn(const QString &path)
    {
        return bus.connect(kService, path, kRequest, QStringLiteral("Response"), &listener,
                           SLOT(onResponse(uint, QVariantMap)));
    }

    void stopListening(const QString &path)
    {
        bus.disconnect(kService, path, kRequest, QStringLiteral("Response"), &listener,
                       SLOT(onResponse(uint, QVariantMap)));
    }

    // Runs Qt's events until `done` holds; false when a stop came first.
    // Nothing here blocks a stop for longer than a tick.
    bool waitUntil(const std::function<bool()> &done)
    {
        if (done())
            return true;
        QEventLoop loop;
        QTimer look;
        QObject::connect(&look, &QTimer::timeout, &loop, [&loop, &done, this] {
            if (done() || stop())
                loop.quit();
        });
        QObject::connect(&listener, &PortalListener::responded, &loop, [&loop, &done] {
            if (done())
                loop.quit();
        });
        look.start(50);
        loop.exec();
        return done();
    }

    // A method call and its reply; false when a stop came first.
    bool call(const QDBusMessage &message, QDBusMessage *reply)
    {
        QDBusPendingCall pending = bus.asyncCall(message, kCallTimeoutMs);
        if (!waitUntil([&pending] { return pending.isFinished(); }))
            return false;
        *reply = pending.reply();
        return true;
    }

    QVariant property(const QString &interface, const QString &name, QString *error)
    {
        QDBusMessage get = QDBusMessage::createMethodCall(kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                          QStringLiteral("Get"));
        get << interface << name;
        QDBusMessage reply;
        if (!call(get, &reply) || reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            *error = reply.errorMessage();
            return {};
        }
        return reply.arguments().constFirst().value<QDBusVariant>().variant();
    }

    // One portal request: the call, then its Response. The request object
    // is listened to before the call so that a quick answer is not missed.
    ScreenCast::Outcome request(const QString &interface, const QString &method, QList<QVariant> arguments,
                                QVariantMap options, QString *detail)
    {
        const QString token = nextToken();
        options.insert(QStringLiteral("handle_token"), token);
        arguments << options;
        QString path = requestPath(token);
        listenOn(path);
        listener.answered = false;
        QDBusMessage message = QDBusMessage::createMethodCall(kService, kPath, interface, method);
        message.setArguments(arguments);
        QDBusMessage reply;
        if (!call(message, &reply)) {
            stopListening(path);
            return ScreenCast::Outcome::Stopped;
        }
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            stopListening(path);
            *detail = QStringLiteral("%1 failed: %2").arg(method, reply.errorMessage());
            return ScreenCast::Outcome::Refused;
        }
        const QString handle = reply.arguments().constFirst().value<QDBusObjectPath>().path();
        if (handle != path && !listener.answered) {
            // An older portal that chose its own path.
            stopListening(path);
            path = handle;
            listenOn(path);
        }
        const bool answered = waitUntil([this] { return listener.answered; });
        stopListening(path);
        if (!answered) {
            // Takes the portal's dialog away too; not waited for.
            bus.send(QDBusMessage::createMethodCall(kService, path, kRequest, QStringLiteral("Close")));
            return ScreenCast::Outcome::Stopped;
        }
        if (listener.code != 0) {
            *detail = QStringLiteral("%1 was answered with %2").arg(method).arg(listener.code);
            return ScreenCast::Outcome::Refused;
        }
        return ScreenCast::Outcome::Started;
    }
};

ScreenCastPortal::ScreenCastPortal(QString tokenFile, QString remoteTokenFile, const QDBusConnection &bus)
    : m_state(std::make_unique<State>(std::move(tokenFile), std::move(remoteTokenFile), bus))
{
}

ScreenCastPortal::~ScreenCastPortal()
{
    m_state->closeSession();
}

void ScreenCastPortal::State::closeSession()
{
    if (session.isEmpty())
        return;
    bus.disconnect(kService, session, kSession, QStringLiteral("Closed"), &listener, SLOT(onClosed(QVariantMap)));
    // Not waited for: a portal that does not answer must not hold the
    // driver's end up, and the session ends with our connection anyway.
    bus.send(QDBusMessage::createMethodCall(kService, session, kSession, QStringLiteral("Close")));
    session.clear();
    remote = false;
}

ScreenCast ScreenCastPortal::State::run(uint asked, uint cursors, uint version)
{
    const QString &interface = remote ? kRemoteDesktop : kScreenCast;
    ScreenCast cast;
    QVariantMap options;
    options.insert(QStringLiteral("session_handle_token"), nextToken());
    cast.outcome = request(interface, QStringLiteral("CreateSession"), {}, options, &cast.detail);
    if (cast.outcome != ScreenCast::Outcome::Started)
        return cast;
    session = listener.results.value(QStringLiteral("session_handle")).toString();
    if (session.isEmpty()) {
        cast.outcome = ScreenCast::Outcome::Refused;
        cast.detail = QStringLiteral("CreateSession gave no session");
        return cast;
    }
    bus.connect(kService, session, kSession, QStringLiteral("Closed"), &listener, SLOT(onClosed(QVariantMap)));
    const QVariant sessionPath = QVariant::fromValue(QDBusObjectPath(session));
    // The grant is remembered for the whole session: a remote-desktop one
    // on its devices, a cast on its sources.
    const QString &kept = remote ? remoteTokenFile : tokenFile;
    const auto remember = [&kept](QVariantMap *o) {
        o->insert(QStringLiteral("persist_mode"), kPersistUntilRevoked);
        const QString token = loadRestoreToken(kept);
        if (!token.isEmpty())
            o->insert(QStringLiteral("restore_token"), token);
    };

    if (remote) {
        options.clear();
        options.insert(QStringLiteral("types"), devices);
        if (remoteRemembers)
            remember(&options);
        cast.outcome = request(kRemoteDesktop, QStringLiteral("SelectDevices"), {sessionPath}, options, &cast.detail);
        if (cast.outcome != ScreenCast::Outcome::Started)
            return cast;
    }

    options.clear();
    options.insert(QStringLiteral("types"), asked);
    options.insert(QStringLiteral("multiple"), false);
    // A display shows its pointer.
    if (cursors & kEmbeddedCursor)
        options.insert(QStringLiteral("cursor_mode"), kEmbeddedCursor);
    if (version >= 4 && !remote)
        remember(&options);
    cast.outcome = request(kScreenCast, QStringLiteral("SelectSources"), {sessionPath}, options, &cast.detail);
    if (cast.outcome != ScreenCast::Outcome::Started)
        return cast;

    cast.outcome = request(interface, QStringLiteral("Start"), {sessionPath, QString()}, {}, &cast.detail);
    if (cast.outcome != ScreenCast::Outcome::Started)
        return cast;
    const QVariantMap results = listener.results;

    // a(ua{sv}): the first stream is ours. Nothing else is stepped into.
    bool found = false;
    const QDBusArgument streams = results.value(QStringLiteral("streams")).value<QDBusArgument>();
    if (streams.currentSignature() == QLatin1String("a(ua{sv})")) {
        streams.beginArray();
        while (!streams.atEnd()) {
            uint node = 0;
            QVariantMap properties;
            streams.beginStructure();
            streams >> node >> properties;
            streams.endStructure();
            if (!found) {
                cast.node = node;
                // What the user chose where a choice was offered.
                const QVariant type = properties.value(QStringLiteral("source_type"));
                cast.virtualMonitor = type.isValid() ? type.toUInt() == kVirtualSource : asked == kVirtualSource;
                const QPoint position = pair(properties.value(QStringLiteral("position")));
                const QPoint size = pair(properties.value(QStringLiteral("size")));
                if (size.x() > 0 && size.y() > 0)
                    cast.area = QRect(position, QSize(size.x(), size.y()));
                found = true;
            }
        }
        streams.endArray();
    }
    if (!found) {
        cast.outcome = ScreenCast::Outcome::Refused;
        cast.detail = QStringLiteral("the portal started no stream");
        return cast;
    }
    if (remote) {
        // The user may have let only some devices through.
        uint granted = results.value(QStringLiteral("devices")).toUInt() & devices;
        if (!granted)
            cast.noTouches = QStringLiteral("the desktop did not grant the %1")
                                 .arg(devices == kPointer ? QStringLiteral("pointer") : QStringLiteral("touchscreen"));
        // xdg-desktop-portal 1.16 takes a point only within the size it
        // gave the stream; a virtual monitor is reached by relative moves.
        if (granted && !remoteRemembers && cast.area.isEmpty() && !cast.virtualMonitor) {
            granted = 0;
            cast.noTouches = QStringLiteral("the desktop's portal gave the stream no size and takes no point on it");
        }
        cast.touchscreen = granted & kTouchscreen;
        cast.pointer = granted & kPointer;
        if (!remoteRemembers)
            cast.detail = QStringLiteral("%1the desktop's portal cannot remember a remote-desktop grant and asks at "
                                         "every start; touch=off in monitor.conf has it ask once, without touches")
                              .arg(granted ? QStringLiteral("touches go through the portal's remote desktop as pointer "
                                                            "presses; ")
                                           : QString());
    }
    // Kept only for a cast that started: it is what the next start restores.
    const QString token = results.value(QStringLiteral("restore_token")).toString();
    if (!token.isEmpty() && !saveRestoreToken(kept, token))
        cast.detail = QStringLiteral("cannot keep the portal's restore token in %1").arg(kept);

    QDBusMessage open = QDBusMessage::createMethodCall(kService, kPath, kScreenCast, QStringLiteral("OpenPipeWireRemote"));
    open << sessionPath << QVariantMap();
    QDBusMessage reply;
    if (!call(open, &reply)) {
        cast.outcome = ScreenCast::Outcome::Stopped;
        return cast;
    }
    const QDBusUnixFileDescriptor fd =
        reply.arguments().isEmpty() ? QDBusUnixFileDescriptor() : reply.arguments().constFirst().value<QDBusUnixFileDescriptor>();
    if (reply.type() != QDBusMessage::ReplyMessage || !fd.isValid()) {
        cast.outcome = ScreenCast::Outcome::Refused;
        cast.detail = QStringLiteral("OpenPipeWireRemote failed: %1").arg(reply.errorMessage());
        return cast;
    }
    // Ours beyond the message's life.
    cast.fd = fcntl(fd.fileDescriptor(), F_DUPFD_CLOEXEC, 3);
    if (cast.fd < 0) {
        cast.outcome = ScreenCast::Outcome::Refused;
        cast.detail = QStringLiteral("cannot keep the PipeWire remote: %1").arg(QString::fromStdString(std::generic_category().message(errno)));
    }
    return cast;
}

// Why touches cannot go through this portal's remote desktop to a cast of
// `asked`; empty when they can. One that cannot remember the grant (GNOME
// 43's) is used all the same: touches are worth a dialog at every start,
// and touch=off avoids it. There they go as pointer presses: mutter makes
// a session's touchscreen at its first touch, which windows miss as they
// learn of the device only then, while a pointer joins the one they know.
QString ScreenCastPortal::State::remoteDesktopRefusal(uint asked)
{
    QString error;
    const QVariant version = property(kRemoteDesktop, QStringLiteral("version"), &error);
    if (!version.isValid())
        return QStringLiteral("the desktop's portal has no remote desktop");
    remoteRemembers = version.toUInt() >= kRemembersRemoteDesktop;
    devices = remoteRemembers && !kdeBackend() ? kTouchscreen : kPointer;
    // GNOME 43 gives a virtual monitor's stream no size, on which the
    // portal then takes no point: the pointer gets there by relative moves
    // through the layout, which only the Wayland display tells.
    if (!remoteRemembers && (asked & kVirtualSource)) {
        std::string why;
        if (!WaylandOutputs::open(&why))
            return QStringLiteral("the desktop's portal takes no point on a virtual monitor (remote desktop version "
                                  "%1), and the desktop's layout is unknown: %2")
                .arg(version.toUInt())
                .arg(QString::fromStdString(why));
    }
    if (!(property(kRemoteDesktop, QStringLiteral("AvailableDeviceTypes"), &error).toUInt() & devices))
        return devices == kPointer ? QStringLiteral("the desktop's portal takes no pointer")
                                   : QStringLiteral("the desktop's portal takes no touchscreen");
    return {};
}

ScreenCast ScreenCastPortal::start(bool extend, bool touch, const std::function<bool()> &stopRequested)
{
    State &s = *m_state;
    s.stop = stopRequested;
    ScreenCast cast;
    if (!s.bus.isConnected()) {
        cast.detail = QStringLiteral("no session bus: %1").arg(s.bus.lastError().message());
        return cast;
    }
    if (!(s.bus.connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing)) {
        cast.detail = QStringLiteral("the session bus cannot pass file descriptors");
        return cast;
    }
    QString error;
    const QVariant types = s.property(kScreenCast, QStringLiteral("AvailableSourceTypes"), &error);
    if (stopRequested()) {
        cast.outcome = ScreenCast::Outcome::Stopped;
        return cast;
    }
    if (!types.isValid()) {
        cast.detail = QStringLiteral("no screen-cast portal: %1").arg(error);
        return cast;
    }
    const uint version = s.property(kScreenCast, QStringLiteral("version"), &error).toUInt();
    const uint cursors = s.property(kScreenCast, QStringLiteral("AvailableCursorModes"), &error).toUInt();
    const uint asked = sourcesToAsk(extend, types.toUInt());

    QString noTouches = touch ? s.remoteDesktopRefusal(asked) : QString();
    if (touch && noTouches.isEmpty()) {
        s.remote = true;
        cast = s.run(asked, cursors, version);
        if (cast.outcome != ScreenCast::Outcome::Refused)
            return cast;
        // Sharing may still be granted where remote control is not.
        noTouches = QStringLiteral("the remote-desktop session was refused (%1)").arg(cast.detail);
        s.closeSession();
        s.listener.sessionClosed = false;
    }
    cast = s.run(asked, cursors, version);
    cast.noTouches = noTouches;
    return cast;
}

QString ScreenCastPortal::remoteSession() const
{
    return m_state->remote ? m_state->session : QString();
}

QDBusConnection ScreenCastPortal::bus() const
{
    return m_state->bus;
}

bool ScreenCastPortal::closed() const
{
    return m_state->listener.sessionClosed;
}

bool saveRestoreToken(const QString &path, const QString &token)
{
    const QFileInfo info(path);
    if (!QDir().mkpath(info.absolutePath()))
        return false;
    QByteArray name = QFile::encodeName(path + QStringLiteral(".XXXXXX"));
    // mkstemp makes it 0600 whatever the umask.
    const int fd = mkstemp(name.data());
    if (fd < 0)
        return false;
    const QByteArray bytes = token.toUtf8();
    const bool written = write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size() && fsync(fd) == 0;
    const bool closedWell = close(fd) == 0;
    if (!written || !closedWell || rename(name.constData(), QFile::encodeName(path).constData()) != 0) {
        unlink(name.constData());
        return false;
    }
    return true;
}

QString loadRestoreToken(const QString &path)
{
    // Neither followed (a link would hand another file of the user's to
    // the portal) nor waited on (a FIFO would hang the start).
    const int fd = open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return {};
    QByteArray bytes;
    struct stat st{};
    // Only the user's own regular file, unreadable to others, of a token's
    // size.
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0
        && st.st_size <= kLongestToken) {
        // One byte more than a token: a file that grew since is refused too.
        bytes.resize(kLongestToken + 1);
        qsizetype got = 0;
        ssize_t n = 0;
        while (got < bytes.size() && ((n = read(fd, bytes.data() + got, size_t(bytes.size() - got))) > 0
                                      || (n < 0 && errno == EINTR)))
            got += std::max<ssize_t>(n, 0);
        bytes.resize(n >= 0 && got <= kLongestToken ? got : 0);
    }
    close(fd);
    return QString::fromUtf8(bytes).trimmed();
}

} // namespace telvdrv

#include "screencastportal.moc"
