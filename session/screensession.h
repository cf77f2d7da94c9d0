#pragma once

#include "linkthread.h"
#include "openscreen.h"
#include "screenlist.h"
#include "upgradejob.h"
#include "usbhandles.h"

#include <QColor>
#include <QElapsedTimer>
#include <QImage>
#include <QObject>
#include <QPoint>
#include <QString>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

namespace session {

class EventPump;
class LedTest;
class MonitorWorker;
class ThroughputTest;

// What a selection came to.
enum class Selection {
    NoDevice,       // nothing at the chosen port (or nothing chosen)
    FoundNotOpened, // a screen is there but could not be opened
    InUse,          // another program holds the screen: nothing is sent to it
    ShownByService, // the monitor service shows the desktop on it; chosen by the user, it is lent
    BootLoader,     // a screen in one of its boot loaders is open
    Running,        // a running screen is open and identified
};

// A window's screens: the libusb context and its event thread, the screen
// list kept by periodic scans, the one open screen with its identity and
// the picture it shows, and the jobs that use it. Everything here is asked
// for and reported on the thread that made the session; exchanges with the
// screens run on threads of their own (one for listing, opening and the
// log, one for pictures and settings), so the window never waits for a
// screen.
class ScreenSession : public QObject {
    Q_OBJECT

public:
    explicit ScreenSession(QObject *parent = nullptr);
    // Waits for an upgrade to end, stops every job, closes the screen, then
    // the event thread.
    ~ScreenSession() override;

    // --- the screen list --------------------------------------------
    // Looks at the bus once; the list follows (screensChanged, only when
    // what it shows changed) and the chosen screen is opened when that
    // changed. Scans asked for while one runs are folded into it.
    void scan();
    const ScreenList &list() const { return m_list; }
    // The user picks entry `index` (or none, -1): the open screen closes and
    // the one at the entry's port is opened.
    void choose(int index);

    // --- the open screen --------------------------------------------
    bool hasScreen() const { return m_open != nullptr; }
    const std::shared_ptr<OpenScreen> &current() const { return m_open; }
    // The open screen's record; a default record while none is open.
    const ScreenInfo &opened() const { return m_opened; }
    // The panel of the screen opened last (800x480 before the first).
    const screenlink::ScreenGeometry &geometry() const { return m_geometry; }
    int firmwareMinor() const { return m_firmwareMinor; }
    // The picture size frames, tests and monitor mode use.
    QSize pictureSize() const { return m_geometry.pictureSize(); }

    // --- what the screen shows ----------------------------------------
    // The picture, centred on the panel's canvas, goes to the open screen
    // and becomes the current picture; pictureShown() brings it back as
    // the panel shows it. Pictures asked for faster than the screen takes
    // them are dropped but for the last.
    void showPicture(const QImage &picture);
    void fill(const QColor &colour);
    // The current picture again (after a flip), or the model's start logo
    // when there is none.
    void showCurrent();
    // The current picture is forgotten: the next showCurrent() is the logo.
    void clearPicture();
    QImage currentPicture() const { return m_current; }
    // Pictures or settings still on their way to the screen.
    bool framesPending() const { return m_framesInFlight > 0; }
    void sendFlip(int flip);
    void sendBacklight(int level);

    // --- jobs on the open screen --------------------------------------
    // Each refuses (false) without an open screen or while an upgrade runs.
    bool startLedTest();
    void stopLedTest();
    bool ledTestRunning() const;
    bool startThroughputTest();
    bool throughputTestRunning() const;
    // Reads the whole log into `path`; logFinished() tells how it went. The
    // file is written only when every read came back whole.
    bool readLog(const QString &path);
    bool monitorRunning() const;
    // Monitor mode on the open running screen with the driver at `driver`;
    // with no running screen the job only says so.
    void startMonitor(const QString &driver);
    void stopMonitor();
    // Stops the jobs that use the open screen (not an upgrade), and waits
    // for what the link thread still does with it.
    void stopJobs();

    // --- upgrade ------------------------------------------------------
    bool upgradeRunning() const { return m_upgrade->running(); }
    // How the running (or last) upgrade writes its screen.
    UpgradePath upgradePath() const { return m_upgrade->path(); }
    // Upgrades the screen `request.target` names (file, tools as given),
    // which must still be the open one: the same plug-in with the same
    // device ID, else a screen swapped while the user answered boxes would
    // get what was checked for another. The screen is the job's until it
    // ends, restarted and back, and is then opened again. Returns why it
    // did not start; empty when it did.
    QString startUpgrade(UpgradeRequest request);

signals:
    // What the list shows changed.
    void screensChanged();
    // A scan was applied, whether or not anything changed.
    void scanned();
    void selected(session::Selection selection);
    // A touch, in picture pixels of the open screen's panel, and its event flag.
    void touched(QPoint at, int t);
    void pictureShown(const QImage &picture);
    void logFinished(session::LogOutcome outcome);
    // The open screen was let go, and the jobs on it ended.
    void screenClosed();
    void upgradeProgress(session::UpgradeProgress progress);
    void upgradeEnded(session::UpgradeResult result);
    // A panel test ended, by a stop or by itself; `failure` says why it did
    // not run (the screen left), empty when it did.
    void ledTestEnded(const QString &failure);
    void throughputTestEnded(const QString &failure);

private:
    struct TouchRelay;
    struct ScanResult;
    struct OpenResult;
    void applyScan(const ScanResult &result);
    void applyOpen(OpenResult result);
    // The selection: closes the open screen, then opens the chosen one.
    void select();
    void open();
    void closeScreen();
    // Hands what is pending to the frame thread, unless a job for it is on
    // its way already.
    void postPending();
    // A touch report from the event thread, queued to this one.
    Q_INVOKABLE void deliverTouch(int x, int y, int t);
    void onUpgradeEnded(const UpgradeResult &result);
    bool screenBusy() const;

    // Declared in the order they may go: the threads' last jobs and the
    // screens they hold close before the event thread and the context.
    std::shared_ptr<screenlink::UsbContext> m_context;
    std::unique_ptr<EventPump> m_events;
    std::shared_ptr<TouchRelay> m_relay;
    LinkThread m_link;
    LinkThread m_frames;
    ScreenList m_list;
    bool m_scanning = false;
    bool m_scanAgain = false;
    int m_generation = 0; // of selections: results of older ones are dropped
    bool m_opening = false;
    bool m_borrowNext = false;
    std::optional<screenlink::PortPath> m_borrowed;

    std::shared_ptr<OpenScreen> m_open;
    ScreenInfo m_opened;
    screenlink::ScreenGeometry m_geometry;
    int m_firmwareMinor = 0;
    QImage m_current;
    // What waits for the frame thread: of each kind only the last one asked
    // for counts, so a slider dragged or pictures dropped faster than the
    // screen takes them never pile up. Sent flip first, then the picture
    // (which shows the flip), then the backlight.
    struct Pending {
        std::optional<int> flip;
        std::optional<QImage> picture;
        std::optional<int> backlight;
        bool posted = false;
    };
    std::mutex m_pendingMutex;
    Pending m_pending;
    int m_framesInFlight = 0;

    std::unique_ptr<LedTest> m_ledTest;
    std::unique_ptr<ThroughputTest> m_throughputTest;
    std::unique_ptr<MonitorWorker> m_monitor;
    std::unique_ptr<UpgradeJob> m_upgrade;
    bool m_readingLog = false;
    std::shared_ptr<std::atomic<bool>> m_logStop;
};

} // namespace session
