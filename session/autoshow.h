#pragma once

#include "linkthread.h"
#include "remembered.h"
#include "shownscreen.h"
#include "usbhandles.h"

#include <QObject>
#include <QSet>
#include <QString>

#include <map>
#include <memory>
#include <vector>

namespace session {

class EventPump;

// Where a remembered screen stands.
enum class AutoState {
    Waiting,     // not attached, or not looked at yet
    Showing,     // a display of the desktop
    Asleep,      // shown, dark while the desktop sleeps
    InUse,       // another program holds it
    LetGo,       // given up for another program that asked for it
    NoUsableSize // its information string names no size monitor mode can run at
};

// "waiting", "showing", "asleep", "in-use", "let-go", "no-size"
QString autoStateKey(AutoState state);
// What a person reads: "waiting for the screen", "showing the desktop", …
QString autoStateText(AutoState state);
std::optional<AutoState> parseAutoState(const QString &key);

struct AutoScreenState {
    QString id;
    ShowMode mode = ShowMode::Extend;
    AutoState state = AutoState::Waiting;
    QString port; // where it was last seen; empty when never
};

// Monitor mode for the remembered screens, whenever they are attached and
// free: each scan finds plug-ins and unplugs, a screen that leaves is let go
// cleanly and taken up again when it is back. Only the remembered screens
// are ever held; another screen is opened at most once per plug-in, to read
// its device ID. Each shown screen has a monitor job and driver of its own.
class AutoShow : public QObject {
    Q_OBJECT

public:
    // `driver`: the frame driver to start.
    explicit AutoShow(const QString &driver, QObject *parent = nullptr);
    ~AutoShow() override;

    void setRemembered(const std::vector<RememberedScreen> &screens);
    // One look at the bus; the owner repeats it. Results come back on the
    // owner's thread, then changed() when anything changed. Plug-ins and
    // unplugs ask for one by themselves where libusb tells of them.
    Q_INVOKABLE void scan();
    // Whether plug-ins and unplugs are told (then the owner's repeat is only
    // for screens another program let go).
    bool toldOfPlugs() const;
    // Lets the screen named by `key` (device ID or port text) go for
    // `holder` until takeBack() or holderGone(). False when no remembered
    // screen goes by that name.
    bool letGo(const QString &key, const QString &holder);
    void takeBack(const QString &key, const QString &holder);
    void holderGone(const QString &holder);
    // The desktop blanked (screensaver, lock, DPMS, suspend) or woke.
    void setDesktopAsleep(bool asleep);
    bool desktopAsleep() const { return m_asleep; }

    std::vector<AutoScreenState> states() const;

signals:
    void changed();

private:
    struct Seen {
        QString port;
        int address = 0;
        QString id; // empty when it could not be read
        bool inUse = false;
        bool noSize = false;
    };
    struct ScanResult;
    struct Shown {
        std::unique_ptr<ShownScreen> screen;
        QString port;
        int address = 0;
        ShowMode mode = ShowMode::Extend;
    };

    void taken(ScanResult result);
    void show(const RememberedScreen &remembered, std::shared_ptr<screenlink::Screen> screen, const Seen &where,
              QSize picture, const ScreenFacts &facts);
    void letShownGo(const QString &id);
    void onJobEnded();
    QString idFor(const QString &key) const;
    void update();

    const QString m_driver;
    std::shared_ptr<screenlink::UsbContext> m_context;
    // Before the pump: deregistered once no event can run its callback.
    std::unique_ptr<screenlink::HotplugWatch> m_plugs;
    std::unique_ptr<EventPump> m_events;
    std::vector<RememberedScreen> m_remembered;
    std::map<QString, Shown> m_shown; // by device ID
    // Device IDs read, by port and plug-in address: one read per plug-in.
    std::map<std::pair<QString, int>, Seen> m_seen;
    std::map<QString, QSet<QString>> m_letGo; // device ID -> holders
    bool m_asleep = false;
    bool m_scanning = false;
    bool m_scanAgain = false;
    std::vector<AutoScreenState> m_lastStates;
    LinkThread m_link;
};

} // namespace session
