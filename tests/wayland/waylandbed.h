#pragma once

// The Wayland test beds of tests/wayland/wayland-session, seen from inside:
// GNOME's monitors (mutter's DisplayConfig), its screen-cast portal's
// remembered choices and dialog, and windows shown on a monitor.
#include <QList>
#include <QPoint>
#include <QProcess>
#include <QRect>
#include <QString>
#include <QStringList>

namespace waylandbed {

struct Monitor {
    QString connector;
    QString product;
    QString match; // vendor:product:serial, as the portal remembers a monitor by
    QRect area;    // logical position and current mode's size
    bool primary = false;
};

// mutter's monitors now; empty when it cannot be asked.
QList<Monitor> gnomeMonitors();
// The monitor mutter has now beside those `before`; none (no connector)
// while there is none.
Monitor addedMonitor(const QList<Monitor> &before);

inline constexpr unsigned kMonitorSource = 1;
inline constexpr unsigned kVirtualSource = 4;

// What a user's earlier start leaves behind: GNOME's portal remembers a
// choice under a new token (a virtual monitor, or the monitor `match`) and
// the driver's token file `tokenFile` (0600) holds that token. Empty on
// success, else why not.
QString rememberScreenCastChoice(const QString &tokenFile, unsigned source, const QString &match = {});

// Answers the dialog GNOME's portal shows at the start of a remote-desktop
// session, as a user would, through its accessibility objects (AT-SPI):
// picks the source listed as `source` ("Virtual monitor", say), allows
// remote interaction and shares. Empty once done, else what is not there
// yet (the dialog comes a moment after the start): try again until it is.
QString answerRemoteDesktopDialog(const QString &source);

// A fullscreen window of tavrik_picturewindow on the monitor holding `at`,
// telling where it is pressed.
class PictureWindow {
public:
    PictureWindow(const QString &program, QPoint at, const QStringList &show);
    ~PictureWindow();
    PictureWindow(const PictureWindow &) = delete;
    PictureWindow &operator=(const PictureWindow &) = delete;
    // Whether it found the monitor and asked to fill it.
    bool shown() const { return m_shown; }
    // Its left button's presses and releases so far: "press X Y", "release X Y".
    QStringList said();

private:
    QProcess m_process;
    QStringList m_said;
    bool m_shown = false;
};

} // namespace waylandbed
