#include "monitorworker.h"

#include "frameconvert.h"
#include "frameshare.h"
#include "exclusivename.h"
#include "processes.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDebug>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>
#include <vector>

namespace session {

using namespace monitor;

namespace {

constexpr int kDriverStartMs = 30000;
// A driver that ignores the terminate request is killed after this: the
// time it may need to give an extended desktop back.
constexpr int kDriverEndMs = platform::kEndGraceMs;

} // namespace

MonitorWorker::MonitorWorker(int driverPauseMs, QObject *parent) : Worker(parent), m_driverPauseMs(driverPauseMs)
{
}

MonitorWorker::~MonitorWorker()
{
    // Only a running job's driver is ours to end; another program's
    // monitor mode is left alone.
    if (isRunning())
        stopAndWait();
}

std::array<uint8_t, 6> MonitorWorker::frameHeader(int width, int height)
{
    const uint32_t bytes = uint32_t(width) * uint32_t(height) * 2;
    return {0x00, 0x2C, uint8_t(bytes), uint8_t(bytes >> 8), uint8_t(bytes >> 16), 0x00};
}

bool MonitorWorker::begin(std::shared_ptr<screenlink::Screen> screen, QSize picture, screenlink::ScanOrder order,
                          const QString &driver, const QString &mode, const QString &screenKey)
{
    if (busy())
        return false;
    m_driverPath = driver;
    m_driverImage = QFileInfo(driver).fileName().toStdString();
    m_mode = mode;
    m_screenKey = screenKey;
    m_screen = std::move(screen);
    m_picture = picture;
    m_order = order;
    return launch();
}

bool MonitorWorker::ownNames() const
{
    return namesPerScreen() && !m_screenKey.isEmpty();
}

void MonitorWorker::requestStop()
{
    Worker::requestStop();
    // Wakes the job at once: the driver would set the event it waits on.
    if (!ownNames() && !m_driverImage.empty())
        platform::endProcessTrees(m_driverImage);
}

std::string MonitorWorker::showingName(const QString &screenKey)
{
    return "tavrik-monitor-" + screenKey.toStdString();
}

bool MonitorWorker::showingElsewhere(const QString &screenKey)
{
    return validScreenKey(screenKey) && platform::ExclusiveName::heldElsewhere(showingName(screenKey));
}

bool MonitorWorker::pause(int ms)
{
    QDeadlineTimer until(ms);
    while (!stopRequested() && !until.hasExpired())
        msleep(unsigned(std::clamp<qint64>(until.remainingTime(), 1, kWaitSliceMs)));
    return !stopRequested();
}

void MonitorWorker::work()
{
    std::shared_ptr<screenlink::Screen> screen = std::move(m_screen);
    if (!screen)
        qDebug("No screen connected.");
    else
        mirror(*screen);
    // The last user of the screen may be this job: its handle closes here.
}

void MonitorWorker::mirror(screenlink::Screen &screen)
{
    const int width = m_picture.width();
    const int height = m_picture.height();
    if (!pictureFits(int64_t(width) * 4, width, height)) {
        qDebug("Screen size %dx%d does not fit the frame share.", width, height);
        return;
    }

    // One share for every screen: a driver left running would write into it.
    if (!ownNames()) {
        platform::endProcessTrees(m_driverImage);
        if (!pause(m_driverPauseMs))
            return;
    }

    QString why;
    const FrameShareNames names = ownNames() ? FrameShareNames::forScreen(m_screenKey) : FrameShareNames{};
    std::unique_ptr<FrameShare> share = openFrameShare(names, &why);
    if (!share) {
        if (!why.isEmpty())
            qDebug("%s", qPrintable(why));
        qDebug("Can not create frame, need to be admin.");
        return;
    }
    share->writeSize(width, height);
    // Let go with the job, however it ends.
    const std::unique_ptr<platform::ExclusiveName> showing =
        ownNames() ? platform::ExclusiveName::take(showingName(m_screenKey)) : nullptr;

    QProcess driver;
    // Its messages go where ours go; unread pipes would block it once full.
    driver.setProcessChannelMode(QProcess::ForwardedChannels);
    // So that a driver whose starter is gone before it could ask to go
    // along can tell (the exit signal it asks for covers only what follows).
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QLatin1String(kParentPidVariable), QString::number(QCoreApplication::applicationPid()));
    if (!m_mode.isEmpty())
        environment.insert(QStringLiteral("TAVRIK_MONITOR_MODE"), m_mode);
    if (ownNames())
        environment.insert(QLatin1String(kScreenKeyVariable), m_screenKey);
    else
        environment.remove(QLatin1String(kScreenKeyVariable));
    driver.setProcessEnvironment(environment);
    driver.start(m_driverPath, QStringList(), QIODevice::ReadWrite);
    driver.waitForStarted(kDriverStartMs);

    const uint32_t frameBytes = uint32_t(width) * uint32_t(height) * 2;
    std::vector<uint8_t> frame(frameBytes);
    // Turned as the frame output turns pictures, or the desktop would show
    // mirrored, upside down or sideways.
    FrameConverter converter(width, height, m_order);
    bool badStrideNoted = false;
    // Another process of ours cut the share short: what it holds is zeros
    // now and nothing more comes, so the mode ends as if stopped.
    const auto broken = [&share] {
        if (!share->broken())
            return false;
        qDebug("The frame share was made smaller while in use; monitor mode ends.");
        return true;
    };
    screenlink::FrameSend how;
    how.zeroTopByte = true;

    bool dark = false;
    while (!stopRequested()) {
        bool woke = false;
        if (const bool asleep = m_asleep.load(std::memory_order_acquire); asleep != dark) {
            dark = asleep;
            woke = !dark;
            if (screen.sendBacklight(dark ? 0 : m_backlight.load(std::memory_order_acquire)) < 0)
                break;
        }
        // In slices, so that a stop ends the wait even when no picture comes.
        const FrameWait got = waitFrame(*share, woke ? 0 : kWaitSliceMs);
        if (broken())
            break;
        if (got == FrameWait::TimedOut && !woke)
            continue;
        if (got == FrameWait::Picture) {
            // Read after the event, when the driver has surely written it.
            const int32_t stride = share->stride();
            const bool converted = converter.convert(share->pixels(), stride, frame.data());
            if (broken())
                break;
            if (!converted) {
                if (!badStrideNoted)
                    qDebug("Frame share stride %d does not fit a %dx%d picture; skipped.", stride, width, height);
                badStrideNoted = true;
                continue;
            }
        }
        // Pictures are still taken while dark, so the wake shows the newest.
        if (dark)
            continue;
        // A failed wait sends the previous picture again.
        if (screen.sendFrame(frame.data(), frameBytes, how) < 0)
            break;
    }

    std::fill(frame.begin(), frame.end(), uint8_t(0));
    screen.sendBulk(frame.data(), int(frameBytes));
    frame = std::vector<uint8_t>();

    driver.terminate();
    if (!driver.waitForFinished(kDriverEndMs)) {
        driver.kill();
        driver.waitForFinished(kDriverEndMs);
    }
    // Closed once the driver is gone, so that this close, being the last,
    // removes the share's names.
    closeFrameShare(share);
}

} // namespace session
