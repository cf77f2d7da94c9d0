#pragma once

#include "devicelist.h"
#include "linkthread.h"
#include "modeltable.h"
#include "screenlist.h"
#include "usbhandles.h"

#include <QElapsedTimer>
#include <QImage>
#include <QObject>
#include <QPoint>
#include <QString>

#include <atomic>
#include <memory>
#include <optional>

namespace screenlink {
class Screen;
}

namespace session {

class EventPump;
class LedTest;
class MonitorWorker;
class ThroughputTest;
class UpgradeWorker;
struct UpgradeRequest;

// The screen a selection opened, as it is known.
struct OpenedScreen {
    screenlink::DeviceKind kind = screenlink::DeviceKind::Other;
    QString port;
    QString identification; // running screens
    QString deviceId;       // running screens
};

// What a selection came to.
enum class Selection {
    NoDevice,        // nothing at the chosen port (or nothing chosen)
    FoundNotOpened,  // a screen is there but was not opened
    BootLoader,      // a screen in one of its boot loaders is open
    Running,         // a running screen is open and identified
};

// How a screen log read-out ended.
enum class LogOutcome { Saved, ReadFailed, SaveFailed };

// A window's screens: the libusb context and its event thread, the screen
// list kept by periodic scans, the one open screen with its identity and
// geometry, and the jobs that use it. Everything here runs on the thread
// that made the session; exchanges that take long (listing, identifying,
// opening, the screen log) run on a thread of their own and report back
// through the signals.
class ScreenSession : public QObject {
    Q_OBJECT

public:
    explicit ScreenSession(QObject *parent = nullptr);
    // Stops every job, closes the screen, then the event thread.
    ~ScreenSession() override;

    // --- the screen list --------------------------------------------
    // Looks at the bus once; the list follows (screensChanged) and the
    // chosen screen is opened when that changed. Scans asked for while one
    // runs are folded into it.
    void scan();
    const ScreenList &list() const { return m_list; }
    // The user picks entry `index` (or none, -1): the open screen closes and
    // the one at the entry's port is opened.
    void choose(int index);

    // --- the open screen --------------------------------------------
    bool hasScreen() const { return m_screen != nullptr; }
    const std::shared_ptr<screenlink::Screen> &screen() const { return m_screen; }
    const OpenedScreen &opened() const { return m_opened; }
    const screenlink::ScreenGeometry &geometry() const { return m_geometry; }
    int firmwareMinor() const { return m_firmwareMinor; }
    // The IDs of the device the last selection opened, kNoScreenId after a
    // selection closed one; what an upgrade goes by.
    screenlink::UsbId rememberedId() const { return m_rememberedId; }
    // The picture size frames, tests and monitor mode use.
    QSize pictureSize() const { return m_geometry.pictureSize(); }

    // Lets the open screen go without forgetting it (a tool takes it over).
    void handOver();
    // Forgets the screen handed over, so that whatever comes back at its
    // port is opened again.
    void forgetScreen();

    // --- what the window shows ---------------------------------------
    // The picture rendered for the panel (what the preview shows), sent to
    // the open screen unless an upgrade has it.
    QImage showPicture(const QImage &picture);
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
    // Stops the jobs that use the open screen (not an upgrade).
    void stopJobs();

    // --- upgrade ------------------------------------------------------
    UpgradeWorker &upgrade() { return *m_upgrade; }
    bool upgradeRunning() const;
    // Starts the upgrade of the open screen; a boot-loader screen is handed
    // over to its tool first. False while one runs.
    bool startUpgrade(UpgradeRequest request);
    // After a successful upgrade: restarts a TELV screen (its boot loader's
    // tool, or the reboot request) and forgets it either way.
    void restartAfterUpgrade(const QString &toolDir, const QString &exeSuffix);
    // The end of an upgrade, either way: a screen let go is forgotten.
    void upgradeEnded();

signals:
    void screensChanged();
    void selected(session::Selection selection);
    // A touch, in picture pixels of the open screen's panel, and its event flag.
    void touched(QPoint at, int t);
    void logFinished(session::LogOutcome outcome);
    // The open screen was let go, and the jobs on it ended.
    void screenClosed();

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
    // A touch report from the event thread, queued to this one.
    Q_INVOKABLE void deliverTouch(int x, int y, int t);
    bool restartPending(const std::vector<FoundDevice> &devices);
    bool screenBusy() const;

    // Declared in the order they may go: the link thread's last job and the
    // screens it holds close before the event thread and the context.
    std::shared_ptr<screenlink::UsbContext> m_context;
    std::unique_ptr<EventPump> m_events;
    std::shared_ptr<TouchRelay> m_relay;
    LinkThread m_link;
    ScreenList m_list;
    bool m_scanning = false;
    bool m_scanAgain = false;
    int m_generation = 0; // of selections: results of older ones are dropped
    bool m_opening = false;

    std::shared_ptr<screenlink::Screen> m_screen;
    OpenedScreen m_opened;
    screenlink::ScreenGeometry m_geometry;
    int m_firmwareMinor = 0;
    screenlink::UsbId m_rememberedId = screenlink::kNoScreenId;
    bool m_selectAfterUpgrade = false;
    // A screen told to restart, while it may still be on the bus as it was.
    int m_restartBus = -1;
    int m_restartAddress = -1;
    QElapsedTimer m_restartSince;

    std::unique_ptr<LedTest> m_ledTest;
    std::unique_ptr<ThroughputTest> m_throughputTest;
    std::unique_ptr<MonitorWorker> m_monitor;
    std::unique_ptr<UpgradeWorker> m_upgrade;
    bool m_readingLog = false;
    std::shared_ptr<std::atomic<bool>> m_logStop;
};

} // namespace session
