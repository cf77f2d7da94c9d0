#pragma once

#include "modeltable.h"

#include <QSize>
#include <QString>

#include <memory>
#include <optional>

namespace screenlink {
class Screen;
struct PortPath;
}

namespace session {

class MonitorWorker;

// What monitor mode needs to know of a running screen.
struct ScreenFacts {
    std::optional<QSize> size; // as its information string names it
    screenlink::ScanOrder order = screenlink::ScanOrder::HalfTurn;
    screenlink::ScreenGeometry geometry;
    int firmwareMinor = 0;
};

// Reads them; false when the screen left while it was read.
[[nodiscard]] bool readFacts(screenlink::Screen &screen, ScreenFacts &facts);

// The desktop picture for a screen that names `reported` as its size. A
// panel turned a quarter may name its own, portrait size: the desktop it
// shows is the landscape picture, turned into that portrait scan.
QSize pictureFor(QSize reported, screenlink::ScanOrder order);

// The key that gives the screen at `port` its own frame share, touch
// channel and driver (see MonitorWorker::begin).
QString screenKey(const screenlink::PortPath &port);
// The same for a port's text ("PHY(1.2.4)"); empty for none.
QString screenKey(const QString &portText);

// A screen we hold that shows the desktop: the monitor job on it and its
// touches going to the desktop. Stopping blanks it and lets it go.
class ShownScreen {
public:
    // `driverPauseMs`: see MonitorWorker.
    explicit ShownScreen(int driverPauseMs);
    ~ShownScreen();
    ShownScreen(const ShownScreen &) = delete;
    ShownScreen &operator=(const ShownScreen &) = delete;

    // Nothing when it holds a screen already. `key`: see screenKey().
    void start(std::shared_ptr<screenlink::Screen> screen, QSize picture, const ScreenFacts &facts,
               const QString &driver, const QString &mode, const QString &key);
    void stop();

    bool holds() const { return m_screen != nullptr; }
    // The job runs; it ends by itself when a transfer fails.
    bool running() const;
    void setAsleep(bool asleep);
    void setBacklightLevel(int level);
    // The job, for its finished() signal.
    MonitorWorker &job() { return *m_monitor; }

private:
    std::unique_ptr<MonitorWorker> m_monitor;
    std::shared_ptr<screenlink::Screen> m_screen;
    QSize m_picture;
};

} // namespace session
