#include "shownscreen.h"

#include "desktoptouch.h"
#include "discovery.h"
#include "monitorworker.h"
#include "screen.h"

#include <QDebug>

#include <algorithm>
#include <vector>

namespace session {

using namespace screenlink;

namespace {

// The job's transfers time out after 100 ms and its wait for a picture
// after one slice: it ends well within this.
constexpr int kStopWaitMs = 8000;

} // namespace

bool readFacts(Screen &screen, ScreenFacts &facts)
{
    facts.size = readScreenSize(screen);
    ScreenInfo info;
    if (!identify(screen, info))
        return false;
    facts.order = info.geometry.scanOrder();
    facts.geometry = info.geometry;
    facts.firmwareMinor = info.firmwareMinor.value_or(0);
    return true;
}

QSize pictureFor(QSize reported, ScanOrder order)
{
    const bool quarter = order == ScanOrder::QuarterTurn || order == ScanOrder::QuarterTurnBack;
    const bool portrait = reported.width() > 0 && reported.width() < reported.height();
    return quarter && portrait ? reported.transposed() : reported;
}

QString screenKey(const PortPath &port)
{
    return QString::fromStdString(port.holdName());
}

QString screenKey(const QString &portText)
{
    const std::optional<PortPath> port = parsePortPath(portText);
    return port ? screenKey(*port) : QString();
}

ShownScreen::ShownScreen(int driverPauseMs) : m_monitor(std::make_unique<MonitorWorker>(driverPauseMs))
{
}

ShownScreen::~ShownScreen()
{
    if (m_screen || m_monitor->isRunning())
        stop();
}

void ShownScreen::start(std::shared_ptr<Screen> screen, QSize picture, const ScreenFacts &facts,
                        const QString &driver, const QString &mode, const QString &key)
{
    if (m_screen)
        return;
    m_screen = std::move(screen);
    m_picture = picture;
    m_monitor->setAsleep(false);
    m_monitor->begin(m_screen, picture, facts.order, driver, mode, key);
    // The screen's touches act on the desktop it shows. The report handler
    // owns what it needs: it may run until the transfer ends.
    auto desktop = std::make_shared<DesktopTouch>(facts.geometry, facts.firmwareMinor, picture,
                                                  monitor::touchChannelName(key));
    m_screen->startTouch([desktop](const TouchTransfer::Report &report) { desktop->forward(decodeReport(report)); });
}

void ShownScreen::stop()
{
    // The job sends its own last frame: ours must come after it, and the
    // handle must not close under it.
    if (!m_monitor->stopAndWait(kStopWaitMs))
        qDebug("The monitor thread did not end in time.");
    if (!m_screen)
        return;
    m_screen->stopTouch();
    const uint32_t bytes = uint32_t(m_picture.width()) * uint32_t(m_picture.height()) * 2;
    const std::vector<uint8_t> black(bytes, 0);
    m_screen->sendFrame(black.data(), bytes, {});
    m_screen.reset();
}

bool ShownScreen::running() const
{
    return m_monitor->isRunning();
}

void ShownScreen::setBacklightLevel(int level)
{
    m_monitor->setBacklightLevel(uint8_t(std::clamp(level, 0, 255)));
}

void ShownScreen::setAsleep(bool asleep)
{
    m_monitor->setAsleep(asleep);
}

} // namespace session
