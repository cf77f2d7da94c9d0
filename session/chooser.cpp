#include "chooser.h"

#include "bridge.h"
#include "desktoptouch.h"
#include "discovery.h"
#include "eventpump.h"
#include "frameshare.h"
#include "monitorworker.h"
#include "screen.h"

#include <QDebug>

#include <functional>
#include <optional>
#include <vector>

namespace session {

using namespace screenlink;

namespace {

constexpr int kDriverPauseMs = 800;
// The job's transfers time out after 100 ms and its wait for a picture
// after one slice: it ends well within this.
constexpr int kStopWaitMs = 8000;

// Opens each running screen in the bus's order and reads its device ID; the
// first one `take` accepts is returned open, every other is closed. A
// screen another program holds is only named to `inUse`: nothing is sent
// to it.
std::shared_ptr<Screen> walkScreens(const std::shared_ptr<UsbContext> &context,
                                    const std::function<bool(const QString &id)> &take,
                                    const std::function<void(const ScreenInfo &)> &inUse = {})
{
    const DeviceList devices(context->get());
    for (ScreenInfo found : findScreens(devices)) {
        if (!found.running())
            continue;
        std::shared_ptr<Screen> screen = openScreen(context, devices, found);
        if (!screen && found.access == Access::InUse && inUse)
            inUse(found);
        bool whole = false;
        if (screen && take(readDeviceId(*screen, &whole)) && whole)
            return screen;
    }
    return nullptr;
}

struct Opened {
    std::shared_ptr<Screen> screen;
    std::optional<QSize> size;
    ScanOrder order = ScanOrder::HalfTurn;
    ScreenGeometry geometry;
    int firmwareMinor = 0;
};

// The desktop picture for a screen that names `reported` as its size. A
// panel turned a quarter may name its own, portrait size: the desktop it
// shows is the landscape picture, turned into that portrait scan.
QSize pictureFor(QSize reported, ScanOrder order)
{
    const bool quarter = order == ScanOrder::QuarterTurn || order == ScanOrder::QuarterTurnBack;
    const bool portrait = reported.width() > 0 && reported.width() < reported.height();
    return quarter && portrait ? reported.transposed() : reported;
}

} // namespace

ScreenChooser::ScreenChooser(QObject *parent)
    : QObject(parent), m_context(std::make_shared<UsbContext>()), m_monitor(std::make_unique<MonitorWorker>(kDriverPauseMs))
{
    // Touch reports of the chosen screen complete on it.
    if (*m_context) {
        m_events = std::make_unique<EventPump>(m_context);
        m_events->begin();
    }
}

ScreenChooser::~ScreenChooser()
{
    if (m_chosen || m_monitor->isRunning())
        stop();
}

void ScreenChooser::refresh()
{
    const std::shared_ptr<UsbContext> context = m_context;
    m_link.post<std::pair<QStringList, QStringList>>(
        [context] {
            QStringList ids;
            QStringList inUse;
            walkScreens(
                context,
                [&ids](const QString &id) {
                    ids << id;
                    return false;
                },
                [&inUse](const ScreenInfo &s) { inUse << s.port.fullText(); });
            return std::pair(ids, inUse);
        },
        this, [this](const std::pair<QStringList, QStringList> &found) { emit listed(found.first, found.second); });
}

void ScreenChooser::start(const QString &id, const QString &driver)
{
    const int generation = ++m_generation;
    const std::shared_ptr<UsbContext> context = m_context;
    m_link.post<Opened>(
        [context, id] {
            Opened opened;
            opened.screen = walkScreens(context, [&id](const QString &candidate) { return candidate == id; });
            if (opened.screen) {
                opened.size = readScreenSize(*opened.screen);
                ScreenInfo info;
                if (!identify(*opened.screen, info))
                    return Opened{}; // left while it was read
                opened.order = info.geometry.scanOrder();
                opened.geometry = info.geometry;
                opened.firmwareMinor = info.firmwareMinor.value_or(0);
            }
            return opened;
        },
        this, [this, generation, driver](Opened opened) {
            if (generation != m_generation)
                return; // stopped meanwhile: the screen closes unused
            if (!opened.screen) {
                emit chosen(ChooseOutcome::NotConnected);
                return;
            }
            // A screen that names no size keeps the last one.
            if (opened.size)
                m_size = pictureFor(*opened.size, opened.order);
            // The rate divides by both, and the picture must fit the frame share.
            if (!monitor::pictureFits(int64_t(m_size.width()) * 4, m_size.width(), m_size.height())) {
                emit chosen(ChooseOutcome::NoUsableSize);
                return;
            }
            m_chosen = std::move(opened.screen);
            m_monitor->begin(m_chosen, m_size, opened.order, driver);
            // The screen's touches act on the desktop it shows. The report
            // handler owns what it needs: it may run until the transfer ends.
            auto desktop = std::make_shared<DesktopTouch>(opened.geometry, opened.firmwareMinor, m_size);
            m_chosen->startTouch(
                [desktop](const TouchTransfer::Report &report) { desktop->forward(decodeReport(report)); });
            emit chosen(ChooseOutcome::Started);
        });
}

void ScreenChooser::stop()
{
    ++m_generation;
    // The job sends its own last frame: ours must come after it, and the
    // handle must not close under it.
    if (!m_monitor->stopAndWait(kStopWaitMs))
        qDebug("The monitor thread did not end in time.");
    if (m_chosen) {
        m_chosen->stopTouch();
        blank();
        m_chosen.reset();
    }
}

bool ScreenChooser::monitorRunning() const
{
    return m_monitor->isRunning();
}

void ScreenChooser::blank()
{
    const uint32_t bytes = uint32_t(m_size.width()) * uint32_t(m_size.height()) * 2;
    const std::vector<uint8_t> black(bytes, 0);
    m_chosen->sendFrame(black.data(), bytes, {});
}

} // namespace session
