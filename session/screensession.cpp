#include "screensession.h"

#include "bridge.h"
#include "discovery.h"
#include "eventpump.h"
#include "frameoutput.h"
#include "monitorworker.h"
#include "paneltests.h"
#include "screen.h"
#include "screenlog.h"
#include "touchinput.h"
#include "upgrade.h"

#include <QDebug>
#include <QProcess>
#include <QSaveFile>

#include <mutex>

// The start logos live in a static library: they register only when asked.
static void initLogoResources()
{
    Q_INIT_RESOURCE(logos);
}

namespace session {

using namespace screenlink;

namespace {

// The monitor job ends within one wait slice and one transfer.
constexpr int kMonitorStopWaitMs = 8000;
constexpr int kMonitorDriverPauseMs = 1000;
// How long a screen told to restart may stay on the bus before it is taken
// up again as it is.
constexpr qint64 kRestartPatienceMs = 10000;
constexpr int kToolResetWaitMs = 1000;

} // namespace

// Touch reports arrive on the event thread; they reach the session queued,
// and nothing at all once the session is going.
struct ScreenSession::TouchRelay {
    std::mutex mutex;
    ScreenSession *target = nullptr;
};

struct ScreenSession::ScanResult {
    ScanFindings findings;
    bool openGone = false;
    QString stalePort;
    int openBus = -1;
    int openAddress = -1;
};

struct ScreenSession::OpenResult {
    std::optional<Selection> outcome; // none: a device of another kind, nothing to do
    std::shared_ptr<Screen> screen;
    OpenedScreen opened;
    Identity identity;
};

ScreenSession::ScreenSession(QObject *parent)
    : QObject(parent), m_context(std::make_shared<UsbContext>()), m_relay(std::make_shared<TouchRelay>()),
      m_ledTest(std::make_unique<LedTest>()), m_throughputTest(std::make_unique<ThroughputTest>()),
      m_monitor(std::make_unique<MonitorWorker>(kMonitorDriverPauseMs)), m_upgrade(std::make_unique<UpgradeWorker>())
{
    initLogoResources();
    qRegisterMetaType<session::UpgradeResult>();
    m_relay->target = this;
    if (*m_context) {
        m_events = std::make_unique<EventPump>(m_context);
        m_events->begin();
    }
}

ScreenSession::~ScreenSession()
{
    // An upgrade cut off midway can leave a screen that no longer starts;
    // a box it waits for can no longer be shown.
    m_upgrade->abandonPrompts();
    m_upgrade->waitEnded();
    closeScreen();
    const std::lock_guard lock(m_relay->mutex);
    m_relay->target = nullptr;
}

// --- the screen list ------------------------------------------------------

void ScreenSession::scan()
{
    // The list stands still while an upgrade runs: nothing may open or close
    // the screen under it.
    if (upgradeRunning())
        return;
    if (m_scanning) {
        m_scanAgain = true;
        return;
    }
    m_scanning = true;
    const std::shared_ptr<UsbContext> context = m_context;
    const ScreenList list = m_list;
    const ScreenGeometry seed = m_geometry;
    const int openBus = m_screen ? m_screen->busNumber() : -1;
    const int openAddress = m_screen ? m_screen->deviceAddress() : -1;
    const QString openPort = m_opened.port;
    m_link.post<ScanResult>(
        [context, list, seed, openBus, openAddress, openPort] {
            ScanResult result;
            result.openBus = openBus;
            result.openAddress = openAddress;
            // A list that cannot be read counts as empty.
            const DeviceList devices(context->get());
            result.findings.devices = findScreens(devices);
            if (openBus >= 0) {
                result.openGone = std::none_of(result.findings.devices.begin(), result.findings.devices.end(),
                                               [&](const FoundDevice &d) {
                                                   return d.bus == openBus && d.address == openAddress;
                                               });
                if (result.openGone)
                    result.stalePort = openPort;
            }
            for (const FoundDevice &d : result.findings.devices) {
                if (!list.needsIdentity(d, result.stalePort))
                    continue;
                // Listing must not disturb the open screen's record: its own
                // handle, its own copy of the geometry.
                std::shared_ptr<Screen> probe = Screen::open(context, devices[size_t(d.index)]);
                if (!probe)
                    continue; // tried again at the next scan
                const Identity id = identify(*probe, seed);
                result.findings.runningTexts.insert(d.portText(), listedName(id.identification) + QLatin1Char(',')
                                                                      + id.deviceId + QLatin1Char(',') + d.portText());
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
    // A screen that left the bus and came back between two scans has a new
    // address: the handle to its old self is dead, and the screen is taken
    // up again as new.
    const bool sameScreen = m_screen && m_screen->busNumber() == result.openBus
                            && m_screen->deviceAddress() == result.openAddress;
    QString stalePort;
    if (result.openGone && sameScreen) {
        closeScreen();
        forgetScreen();
        stalePort = result.stalePort;
    }
    const bool reselect = m_list.apply(result.findings, stalePort);
    emit screensChanged();
    if (reselect) {
        select();
    } else if (!m_screen && !m_opening && m_list.current() >= 0 && !restartPending(result.findings.devices)) {
        // Listed as chosen but not open (it came back after an upgrade, or
        // could not be opened before): open it now.
        open();
    }
    if (m_scanAgain) {
        m_scanAgain = false;
        scan();
    }
}

bool ScreenSession::restartPending(const std::vector<FoundDevice> &devices)
{
    if (m_restartAddress < 0)
        return false;
    if (m_restartSince.hasExpired(kRestartPatienceMs)) {
        m_restartAddress = -1; // it never left: take it up as it is
        return false;
    }
    const bool there = std::any_of(devices.begin(), devices.end(), [this](const FoundDevice &d) {
        return d.bus == m_restartBus && d.address == m_restartAddress;
    });
    if (!there)
        m_restartAddress = -1;
    return there;
}

void ScreenSession::choose(int index)
{
    m_list.choose(index);
    if (upgradeRunning()) {
        m_selectAfterUpgrade = true;
        return;
    }
    select();
}

void ScreenSession::select()
{
    if (m_screen) {
        closeScreen();
        m_rememberedId = kNoScreenId;
    }
    open();
}

void ScreenSession::open()
{
    const int generation = ++m_generation;
    m_opening = true;
    const ListEntry *entry = m_list.currentEntry();
    const QString key = entry ? entry->port : kNoPort;
    const std::shared_ptr<UsbContext> context = m_context;
    const UsbId remembered = m_rememberedId;
    const ScreenGeometry seed = m_geometry;
    const std::shared_ptr<TouchRelay> relay = m_relay;
    m_link.post<OpenResult>(
        [context, key, remembered, seed, relay] {
            OpenResult result;
            int bus = 0;
            int port = 0;
            parsePhyText(key, &bus, &port);
            const DeviceList devices(context->get());
            libusb_device *device = deviceAt(devices, bus, port);
            if (!device) {
                result.outcome = Selection::NoDevice;
                return result;
            }
            libusb_device_descriptor desc{};
            libusb_get_device_descriptor(device, &desc);
            const DeviceKind kind = deviceKind(desc.idVendor, desc.idProduct);
            result.opened.kind = kind;
            result.opened.port = key;
            switch (kind) {
            case DeviceKind::TelvBootLoader:
            case DeviceKind::K2tBootLoader:
                result.outcome = Selection::FoundNotOpened;
                // After a tool took the screen the IDs still name it; it opens
                // again only once a selection has closed an open screen.
                if (remembered == kNoScreenId && (result.screen = Screen::open(context, device)))
                    result.outcome = Selection::BootLoader;
                break;
            case DeviceKind::RunningScreen:
                result.outcome = Selection::FoundNotOpened;
                result.screen = Screen::open(context, device);
                if (!result.screen)
                    break;
                result.screen->startTouch([relay](const TouchTransfer::Report &report) {
                    const RawTouch touch = decodeReport(report);
                    const std::lock_guard lock(relay->mutex);
                    // By name with plain values: nothing of ours crosses
                    // threads inside Qt.
                    if (relay->target)
                        QMetaObject::invokeMethod(relay->target, "deliverTouch", Qt::QueuedConnection,
                                                  Q_ARG(int, touch.x), Q_ARG(int, touch.y), Q_ARG(int, touch.t));
                });
                result.identity = identify(*result.screen, seed);
                result.opened.identification = result.identity.identification;
                result.opened.deviceId = result.identity.deviceId;
                result.outcome = Selection::Running;
                break;
            case DeviceKind::Other:
                break;
            }
            return result;
        },
        this, [this, generation](OpenResult result) {
            if (generation != m_generation)
                return; // a later selection took over; this screen closes unused
            m_opening = false;
            applyOpen(std::move(result));
        });
}

void ScreenSession::applyOpen(OpenResult result)
{
    if (!result.outcome)
        return;
    switch (*result.outcome) {
    case Selection::NoDevice:
    case Selection::FoundNotOpened:
        break;
    case Selection::BootLoader:
        m_screen = std::move(result.screen);
        m_opened = result.opened;
        m_rememberedId = m_screen->usbId();
        break;
    case Selection::Running:
        m_screen = std::move(result.screen);
        m_opened = result.opened;
        m_geometry = result.identity.geometry;
        if (result.identity.firmwareMinor)
            m_firmwareMinor = *result.identity.firmwareMinor;
        m_rememberedId = m_screen->usbId();
        break;
    }
    emit selected(*result.outcome);
}

void ScreenSession::deliverTouch(int x, int y, int t)
{
    // Reports still on their way from a screen already let go reach nobody.
    if (!m_screen || m_opened.kind != DeviceKind::RunningScreen)
        return;
    emit touched(mapTouch(m_geometry, m_firmwareMinor, x, y), t);
}

// --- the open screen -------------------------------------------------------

void ScreenSession::closeScreen()
{
    stopJobs();
    if (!m_screen)
        return;
    m_screen->stopTouch();
    m_screen.reset();
    m_opened = {};
    emit screenClosed();
}

void ScreenSession::handOver()
{
    closeScreen();
}

void ScreenSession::forgetScreen()
{
    m_rememberedId = kNoScreenId;
}

QImage ScreenSession::showPicture(const QImage &picture)
{
    const QImage frameImage = renderPicture(picture, pictureSize());
    if (!m_screen || upgradeRunning())
        return frameImage;
    const Frame frame = buildFrame(frameImage, m_geometry);
    FrameSend how;
    how.displayOn = true;
    how.times = frame.sendTwice ? 2 : 1;
    m_screen->sendFrame(frame.buffer.data(), frame.count, how);
    return frameImage;
}

void ScreenSession::sendFlip(int flip)
{
    if (m_screen && !upgradeRunning())
        m_screen->sendFlip(uint8_t(flip));
}

void ScreenSession::sendBacklight(int level)
{
    if (m_screen && !upgradeRunning())
        m_screen->sendBacklight(uint8_t(level & 0xFF));
}

// --- jobs on the open screen -----------------------------------------------

bool ScreenSession::screenBusy() const
{
    return !m_screen || upgradeRunning();
}

bool ScreenSession::startLedTest()
{
    return !screenBusy() && m_ledTest->begin(m_screen);
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
    return !screenBusy() && m_throughputTest->begin(m_screen, pictureSize());
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
    const std::shared_ptr<Screen> screen = m_screen;
    m_logStop = std::make_shared<std::atomic<bool>>(false);
    m_link.post<LogOutcome>(
        [screen, path, stop = m_logStop] {
            const std::optional<QByteArray> log = session::readLog(*screen, *stop);
            // Only a whole log replaces what was saved before.
            if (!log)
                return LogOutcome::ReadFailed;
            QSaveFile file(path);
            const bool saved = file.open(QIODevice::WriteOnly) && file.write(*log) == log->size() && file.commit();
            return saved ? LogOutcome::Saved : LogOutcome::SaveFailed;
        },
        this, [this](LogOutcome outcome) {
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
    const bool running = m_screen && m_screen->kind() == DeviceKind::RunningScreen;
    m_monitor->begin(running ? m_screen : nullptr, pictureSize(), monitorTurn(m_geometry.scanOrder()), driver);
}

void ScreenSession::stopMonitor()
{
    m_monitor->requestStop();
}

void ScreenSession::stopJobs()
{
    // The monitor job keeps its screen open while it runs; it ends with the
    // screen let go rather than mirror to one not chosen. Only a running
    // one: a stop ends every frame driver of this user, spanmon's too.
    if (m_monitor->isRunning() && !m_monitor->stopAndWait(kMonitorStopWaitMs))
        qDebug("The monitor thread did not end in time.");
    m_ledTest->stopAndWait();
    m_throughputTest->stopAndWait();
}

// --- upgrade ----------------------------------------------------------------

bool ScreenSession::upgradeRunning() const
{
    return m_upgrade->busy();
}

bool ScreenSession::startUpgrade(UpgradeRequest request)
{
    if (upgradeRunning())
        return false;
    // The upgrade is the screen's only user from here on: nothing still on
    // the link thread (a log read-out, a listing) may put a request inside
    // one of its flash transactions.
    stopJobs();
    if (m_logStop)
        *m_logStop = true;
    m_link.drain();
    request.screenId = m_rememberedId;
    request.screen = m_screen;
    // A boot loader is its tool's to claim; the remembered IDs still say
    // which way the upgrade goes.
    if (deviceKind(m_rememberedId) != DeviceKind::RunningScreen) {
        request.screen.reset();
        handOver();
    }
    return m_upgrade->begin(std::move(request));
}

void ScreenSession::restartAfterUpgrade(const QString &toolDir, const QString &exeSuffix)
{
    if (deviceKind(m_rememberedId) == DeviceKind::TelvBootLoader) {
        // A TELV screen in its boot loader restarts through its tool.
        QProcess tool;
        inOwnProcessGroup(tool);
        tool.start(toolDir + QStringLiteral("/telvtool") + exeSuffix, {QStringLiteral("reset")});
        tool.waitForFinished(kToolResetWaitMs);
    } else if (m_screen) {
        m_screen->requestReboot();
        m_restartBus = m_screen->busNumber();
        m_restartAddress = m_screen->deviceAddress();
        m_restartSince.start();
        handOver();
    }
}

void ScreenSession::upgradeEnded()
{
    // A screen handed to a tool or restarted is no longer open: whatever
    // comes back at its port, running or in a boot loader, is taken up anew.
    if (!m_screen)
        forgetScreen();
    if (m_selectAfterUpgrade && !upgradeRunning()) {
        m_selectAfterUpgrade = false;
        select();
    }
}

} // namespace session
