#include "screensession.h"

#include "monitorservice.h"

#include "discovery.h"
#include "eventpump.h"
#include "frameoutput.h"
#include "monitorworker.h"
#include "paneltests.h"
#include "shownscreen.h"
#include "desktoptouch.h"
#include "touchinput.h"

#include <QDebug>

#include <algorithm>

namespace session {

using namespace screenlink;

namespace {

// Whether the monitor service shows the desktop on the screen at `port`.
bool shownByService(const PortPath &port)
{
    const std::optional<std::vector<AutoScreenState>> shown = monitorservice::screens();
    return shown && std::any_of(shown->begin(), shown->end(), [&](const AutoScreenState &s) {
               return (s.state == AutoState::Showing || s.state == AutoState::Asleep) && s.port == port.fullText();
           });
}

// The monitor job ends within one wait slice and one transfer.
constexpr int kMonitorStopWaitMs = 8000;
constexpr int kMonitorDriverPauseMs = 1000;

} // namespace

// Touch reports arrive on the event thread; they reach the session queued,
// and nothing at all once the session is going.
struct ScreenSession::TouchRelay {
    std::mutex mutex;
    ScreenSession *target = nullptr;
    // Set while monitor mode runs: touches go to the desktop from the event
    // thread, with no stop on the way.
    std::shared_ptr<DesktopTouch> desktop;

    void setDesktop(std::shared_ptr<DesktopTouch> to)
    {
        const std::lock_guard lock(mutex);
        desktop = std::move(to);
    }
};

struct ScreenSession::ScanResult {
    std::vector<ScreenInfo> found;
    PortPath stale; // the open screen left (and maybe came back); invalid: it did not
    std::shared_ptr<OpenScreen> scannedWith;
};

struct ScreenSession::OpenResult {
    Selection outcome = Selection::NoDevice;
    std::shared_ptr<OpenScreen> screen;
    ScreenInfo info;
    bool borrowed = false; // lent by the monitor service
};

ScreenSession::ScreenSession(QObject *parent)
    : QObject(parent), m_context(std::make_shared<UsbContext>()), m_relay(std::make_shared<TouchRelay>()),
      m_ledTest(std::make_unique<LedTest>()), m_throughputTest(std::make_unique<ThroughputTest>()),
      m_monitor(std::make_unique<MonitorWorker>(kMonitorDriverPauseMs)),
      m_upgrade(std::make_unique<UpgradeJob>(m_context))
{
    initSessionResources();
    m_relay->target = this;
    if (*m_context) {
        m_events = std::make_unique<EventPump>(m_context);
        m_events->begin();
    }
    connect(m_ledTest.get(), &QThread::finished, this, [this] { emit ledTestEnded(m_ledTest->failure()); });
    connect(m_throughputTest.get(), &QThread::finished, this,
            [this] { emit throughputTestEnded(m_throughputTest->failure()); });
    connect(m_upgrade.get(), &UpgradeJob::progress, this, &ScreenSession::upgradeProgress);
    connect(m_upgrade.get(), &UpgradeJob::ended, this, &ScreenSession::onUpgradeEnded);
}

ScreenSession::~ScreenSession()
{
    // An upgrade cut off midway can leave a screen that no longer starts.
    m_upgrade.reset();
    closeScreen();
    m_frames.drain();
    m_link.drain();
    const std::lock_guard lock(m_relay->mutex);
    m_relay->target = nullptr;
}

// --- the screen list ------------------------------------------------------

void ScreenSession::scan()
{
    // The list stands still while an upgrade has the screen: nothing may
    // open or close it under the job.
    if (upgradeRunning())
        return;
    if (m_scanning) {
        m_scanAgain = true;
        return;
    }
    m_scanning = true;
    const std::shared_ptr<UsbContext> context = m_context;
    const ScreenList list = m_list;
    const std::shared_ptr<OpenScreen> open = m_open;
    m_link.post<ScanResult>(
        [context, list, open] {
            ScanResult result;
            result.scannedWith = open;
            // A list that cannot be read counts as empty.
            const DeviceList devices(context->get());
            result.found = findScreens(devices);
            if (open) {
                const ScreenInfo &mine = open->info();
                const bool there = std::any_of(result.found.begin(), result.found.end(),
                                               [&](const ScreenInfo &f) { return f.samePlugIn(mine); });
                if (!there)
                    result.stale = mine.port;
            }
            for (ScreenInfo &f : result.found) {
                // Our own screen is never opened a second time: it is known.
                if (open && f.samePlugIn(open->info())) {
                    f = open->info();
                    continue;
                }
                if (list.needsProbe(f, result.stale))
                    probe(context, devices, f);
            }
            return result;
        },
        this, [this](const ScanResult &result) { applyScan(result); });
}

void ScreenSession::applyScan(const ScanResult &result)
{
    m_scanning = false;
    if (upgradeRunning())
        return;
    // A screen that left the bus (and came back between two scans with a
    // new address) leaves a dead handle: it is taken up again as new.
    if (result.stale.valid() && m_open && m_open == result.scannedWith)
        closeScreen();
    const ScreenList::Applied applied = m_list.apply(result.found, m_open ? PortPath{} : result.stale);
    if (applied.changed)
        emit screensChanged();
    if (applied.reselect) {
        select();
    } else if (!m_open && !m_opening && m_list.currentScreen()) {
        // Listed as chosen but not open (it came back after an upgrade, was
        // in use, or could not be opened before): open it now.
        open();
    }
    emit scanned();
    if (m_scanAgain) {
        m_scanAgain = false;
        scan();
    }
}

void ScreenSession::choose(int index)
{
    m_list.choose(index);
    // A screen the user picks is asked of the monitor service when it
    // shows the desktop on it; one chosen by the list alone is left to it.
    m_borrowNext = true;
    select();
}

void ScreenSession::select()
{
    if (upgradeRunning())
        return; // opened again when the upgrade ends
    closeScreen();
    open();
}

void ScreenSession::open()
{
    const int generation = ++m_generation;
    m_opening = true;
    const ScreenInfo *entry = m_list.currentScreen();
    std::optional<ScreenInfo> chosen;
    if (entry)
        chosen = *entry;
    const std::shared_ptr<UsbContext> context = m_context;
    const ScreenGeometry seed = m_geometry;
    const std::shared_ptr<TouchRelay> relay = m_relay;
    const bool borrow = std::exchange(m_borrowNext, false);
    m_link.post<OpenResult>(
        [context, chosen, seed, relay, borrow] {
            OpenResult result;
            if (!chosen)
                return result;
            const DeviceList devices(context->get());
            // Whatever is at the port now: the list may know an older plug-in.
            std::vector<ScreenInfo> found = findScreens(devices);
            const auto at = std::find_if(found.begin(), found.end(),
                                         [&](const ScreenInfo &f) { return f.port == chosen->port; });
            if (at == found.end())
                return result;
            result.info = *at;
            result.info.geometry = seed;
            result.outcome = Selection::FoundNotOpened;
            std::shared_ptr<Screen> screen = openScreen(context, devices, result.info);
            if (!screen && result.info.access == Access::InUse && borrow
                && monitorservice::letGo(result.info.port.fullText())) {
                result.borrowed = true;
                screen = openScreen(context, devices, result.info);
            }
            if (!screen) {
                if (result.info.access == Access::InUse)
                    result.outcome = shownByService(result.info.port) ? Selection::ShownByService : Selection::InUse;
                return result;
            }
            if (result.info.running()) {
                screen->startTouch([relay](const TouchTransfer::Report &report) {
                    const RawTouch touch = decodeReport(report);
                    const std::lock_guard lock(relay->mutex);
                    if (relay->desktop)
                        relay->desktop->forward(touch);
                    // By name with plain values: nothing of ours crosses
                    // threads inside Qt.
                    if (relay->target)
                        QMetaObject::invokeMethod(relay->target, "deliverTouch", Qt::QueuedConnection,
                                                  Q_ARG(int, touch.x), Q_ARG(int, touch.y), Q_ARG(int, touch.t));
                });
                // Half of one plug-in's answers would make the panel
                // another model: the unplug's own scan takes it from here.
                if (!identify(*screen, result.info))
                    return OpenResult{};
                result.outcome = Selection::Running;
            } else {
                result.outcome = Selection::BootLoader;
            }
            result.screen = std::make_shared<OpenScreen>(std::move(screen), result.info);
            return result;
        },
        this, [this, generation](OpenResult result) {
            if (generation != m_generation) {
                // A later selection took over; this screen closes unused.
                if (result.borrowed)
                    monitorservice::takeBack(result.info.port.fullText());
                return;
            }
            m_opening = false;
            applyOpen(std::move(result));
        });
}

void ScreenSession::applyOpen(OpenResult result)
{
    if (result.borrowed)
        m_borrowed = result.info.port;
    if (result.screen) {
        m_open = std::move(result.screen);
        m_opened = result.info;
        // The list never names another ID than the title.
        if (m_list.refresh(m_opened))
            emit screensChanged();
        if (result.outcome == Selection::Running) {
            m_geometry = result.info.geometry;
            if (result.info.firmwareMinor)
                m_firmwareMinor = *result.info.firmwareMinor;
        }
    }
    if (result.outcome == Selection::NoDevice)
        clearPicture();
    emit selected(result.outcome);
}

void ScreenSession::deliverTouch(int x, int y, int t)
{
    // Reports still on their way from a screen already let go reach nobody.
    if (!m_open || !m_opened.running())
        return;
    emit touched(mapTouch(m_geometry, m_firmwareMinor, x, y), t);
}

void ScreenSession::closeScreen()
{
    stopJobs();
    if (!m_open)
        return;
    // Nothing queued for it may reach the next screen.
    m_frames.drain();
    {
        const std::lock_guard lock(m_pendingMutex);
        m_pending = {};
    }
    m_open->link()->stopTouch();
    m_open.reset();
    m_opened = {};
    // Given back once it is no longer ours.
    if (m_borrowed) {
        monitorservice::takeBack(m_borrowed->fullText());
        m_borrowed.reset();
    }
    emit screenClosed();
}

// --- what the screen shows ---------------------------------------------------

void ScreenSession::postPending()
{
    if (m_pending.posted)
        return;
    m_pending.posted = true;
    ++m_framesInFlight;
    const std::shared_ptr<OpenScreen> open = m_open;
    m_frames.post<std::optional<QImage>>(
        [this, open] {
            Pending next;
            {
                const std::lock_guard taken(m_pendingMutex);
                next = std::exchange(m_pending, Pending{});
            }
            if (next.flip)
                open->setFlip(*next.flip);
            std::optional<QImage> shown;
            if (next.picture)
                shown = open->show(*next.picture).picture;
            if (next.backlight)
                open->setBacklight(*next.backlight);
            return shown;
        },
        this, [this](const std::optional<QImage> &shown) {
            --m_framesInFlight;
            if (!shown)
                return;
            m_current = *shown;
            emit pictureShown(*shown);
        });
}

void ScreenSession::showPicture(const QImage &picture)
{
    if (!m_open || upgradeRunning()) {
        // Still what the preview shows, and what a screen opened later gets.
        m_current = renderPicture(picture, pictureSize());
        emit pictureShown(m_current);
        return;
    }
    const std::lock_guard lock(m_pendingMutex);
    m_pending.picture = picture;
    postPending();
}

void ScreenSession::fill(const QColor &colour)
{
    QImage picture(pictureSize(), QImage::Format_RGB32);
    picture.fill(colour);
    showPicture(picture);
}

void ScreenSession::showCurrent()
{
    showPicture(m_current.isNull() ? QImage(logoResource(m_geometry.logo())) : m_current);
}

void ScreenSession::clearPicture()
{
    m_current = {};
}

void ScreenSession::sendFlip(int flip)
{
    if (!m_open || upgradeRunning())
        return;
    const std::lock_guard lock(m_pendingMutex);
    m_pending.flip = flip;
    postPending();
}

void ScreenSession::sendBacklight(int level)
{
    if (!m_open || upgradeRunning())
        return;
    const std::lock_guard lock(m_pendingMutex);
    m_pending.backlight = level;
    postPending();
}

// --- jobs on the open screen -----------------------------------------------

bool ScreenSession::screenBusy() const
{
    return !m_open || upgradeRunning();
}

bool ScreenSession::startLedTest()
{
    return !screenBusy() && m_ledTest->begin(m_open->link());
}

void ScreenSession::stopLedTest()
{
    m_ledTest->requestStop();
}

bool ScreenSession::ledTestRunning() const
{
    return m_ledTest->isRunning();
}

bool ScreenSession::startThroughputTest()
{
    return !screenBusy() && m_throughputTest->begin(m_open->link(), pictureSize());
}

bool ScreenSession::throughputTestRunning() const
{
    return m_throughputTest->isRunning();
}

bool ScreenSession::readLog(const QString &path)
{
    if (screenBusy() || m_readingLog)
        return false;
    m_readingLog = true;
    const std::shared_ptr<OpenScreen> open = m_open;
    m_logStop = std::make_shared<std::atomic<bool>>(false);
    m_link.post<LogOutcome>([open, path, stop = m_logStop] { return open->saveLog(path, *stop); }, this,
                            [this](LogOutcome outcome) {
                                m_readingLog = false;
                                emit logFinished(outcome);
                            });
    return true;
}

bool ScreenSession::monitorRunning() const
{
    return m_monitor->isRunning();
}

void ScreenSession::startMonitor(const QString &driver)
{
    // A boot loader takes no frames: the job then finds no screen.
    const bool running = m_open && m_opened.running();
    // A picture still on its way (the logo of a screen just opened) would
    // land over the desktop's first and stay until the desktop changes.
    if (running) {
        {
            const std::lock_guard lock(m_pendingMutex);
            m_pending = {};
        }
        m_frames.drain();
    }
    const QString key = running ? screenKey(m_opened.port) : QString();
    if (m_monitor->begin(running ? m_open->link() : nullptr, pictureSize(), m_geometry.scanOrder(), driver, {}, key)
        && running)
        m_relay->setDesktop(std::make_shared<DesktopTouch>(m_geometry, m_firmwareMinor, pictureSize(),
                                                           monitor::touchChannelName(key)));
}

void ScreenSession::stopMonitor()
{
    m_relay->setDesktop(nullptr);
    m_monitor->requestStop();
}

void ScreenSession::stopJobs()
{
    // The monitor job keeps its screen open while it runs; it ends with the
    // screen let go rather than mirror to one not chosen.
    m_relay->setDesktop(nullptr);
    if (m_monitor->isRunning() && !m_monitor->stopAndWait(kMonitorStopWaitMs))
        qDebug("The monitor thread did not end in time.");
    m_ledTest->stopAndWait();
    m_throughputTest->stopAndWait();
    // Nothing still on the link thread (a log read-out, a listing) may put
    // a request inside another job's transactions.
    if (m_logStop)
        *m_logStop = true;
    m_link.drain();
}

// --- upgrade ----------------------------------------------------------------

QString ScreenSession::startUpgrade(UpgradeRequest request)
{
    if (upgradeRunning())
        return QStringLiteral("an upgrade is running");
    if (!m_open)
        return QStringLiteral("no screen is open");
    // The screen the user chose, and the file was checked for, must still
    // be the open one: another may have been plugged in meanwhile.
    const ScreenInfo &chosen = request.target;
    if (chosen.kind != DeviceKind::Other && (!chosen.samePlugIn(m_opened) || chosen.deviceId != m_opened.deviceId))
        return QStringLiteral("the screen at %1 is %2 now, not %3, the one chosen")
            .arg(m_opened.port.fullText(), m_opened.deviceId.isEmpty() ? m_opened.stateText() : m_opened.deviceId,
                 chosen.deviceId.isEmpty() ? chosen.stateText() : chosen.deviceId);
    request.target = m_opened;
    request.screen = m_open->link();
    // The screen is the job's alone until it ends.
    closeScreen();
    m_upgrade->begin(std::move(request));
    return {};
}

void ScreenSession::onUpgradeEnded(const UpgradeResult &result)
{
    emit upgradeEnded(result);
    // Whatever is at the chosen port now, running or in a boot loader, is
    // listed and taken up anew.
    scan();
}

} // namespace session
