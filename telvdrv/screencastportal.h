#pragma once

#include <QDBusConnection>
#include <QRect>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

// The desktop portal's screen cast, the sanctioned way to see a Wayland
// desktop: a virtual monitor where the portal offers one (the desktop
// grows by a display that exists only as the stream), else a monitor the
// user picks in the portal's own dialog, which on GNOME also offers a
// virtual one. The portal's restore token is kept so that the user is
// asked once, not at every start. With touches, the cast is started as part
// of a remote-desktop session, which lets touches through on its stream:
// one dialog for both, and its own token (none on portals that cannot keep
// one, such as GNOME 43's: there the dialog comes at every start).
namespace telvdrv {

struct ScreenCast {
    enum class Outcome {
        Started,
        Refused,     // the user said no, or the portal would not share
        Unavailable, // no session bus, or no screen-cast portal on it
        Stopped,     // a stop signal came while waiting
    };
    Outcome outcome = Outcome::Unavailable;
    QString detail;    // for standard error: what went wrong, or that the user will be asked again
    int fd = -1;       // the PipeWire remote; the caller owns it
    uint32_t node = 0; // the stream's node on that remote
    bool virtualMonitor = false; // else a real monitor, of its own size
    QRect area;                  // its place in the compositor's layout; empty when not told
    bool touchscreen = false;    // the session takes touches on the stream
    bool pointer = false;        // or pointer presses there
    QString noTouches;           // why not, when touches were asked for
};

class ScreenCastPortal {
public:
    // `tokenFile` keeps the screen cast's restore token between starts
    // (0600), `remoteTokenFile` the remote-desktop session's.
    ScreenCastPortal(QString tokenFile, QString remoteTokenFile,
                     const QDBusConnection &bus = QDBusConnection::sessionBus());
    ~ScreenCastPortal(); // ends the session
    ScreenCastPortal(const ScreenCastPortal &) = delete;
    ScreenCastPortal &operator=(const ScreenCastPortal &) = delete;

    // Asks for a screen cast (a virtual monitor when `extend` and the
    // desktop can make one, else a monitor), waiting as long as the user
    // takes, until `stopRequested` says so. With `touch`, through a
    // remote-desktop session with a touchscreen (a pointer where the grant
    // cannot be remembered) where the portal offers one; else (or when that
    // is refused) a plain cast. Needs a QCoreApplication.
    ScreenCast start(bool extend, bool touch, const std::function<bool()> &stopRequested);

    // The remote-desktop session the cast runs in; empty for a plain cast.
    QString remoteSession() const;
    QDBusConnection bus() const;

    // True once the desktop ended the session (the user stopped sharing).
    // Learnt while Qt's events are processed.
    bool closed() const;

    struct State;

private:
    std::unique_ptr<State> m_state;
};

// Writes `token` to `path` readable by the owner only, replacing it whole.
bool saveRestoreToken(const QString &path, const QString &token);
QString loadRestoreToken(const QString &path);

} // namespace telvdrv
