#pragma once

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
// asked once, not at every start.
namespace telvdrv {

struct ScreenCast {
    enum class Outcome {
        Started,
        Refused,     // the user said no, or the portal would not share
        Unavailable, // no session bus, or no screen-cast portal on it
        Stopped,     // a stop signal came while waiting
    };
    Outcome outcome = Outcome::Unavailable;
    QString detail;    // what went wrong, for standard error
    int fd = -1;       // the PipeWire remote; the caller owns it
    uint32_t node = 0; // the stream's node on that remote
    bool virtualMonitor = false; // else a real monitor, of its own size
    QRect area; // the stream's place in the compositor's logical layout; empty when not told
};

class ScreenCastPortal {
public:
    // `tokenFile` keeps the restore token between starts (0600).
    explicit ScreenCastPortal(QString tokenFile);
    ~ScreenCastPortal(); // ends the session
    ScreenCastPortal(const ScreenCastPortal &) = delete;
    ScreenCastPortal &operator=(const ScreenCastPortal &) = delete;

    // Asks for a screen cast (a virtual monitor when `extend` and the
    // desktop can make one, else a monitor), waiting as long as the user
    // takes, until `stopRequested` says so. Needs a QCoreApplication.
    ScreenCast start(bool extend, const std::function<bool()> &stopRequested);

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
