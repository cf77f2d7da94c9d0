#include "telvmonitorthread.h"

#include "frameconvert.h"
#include "frameshare.h"
#include "platform.h"
#include "processes.h"
#include "requests.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDebug>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>
#include <vector>

using namespace monitor;

namespace {

constexpr int kDriverStartMs = 30000;
// A driver that ignores the terminate request is killed after this.
constexpr int kDriverEndMs = 2000;
constexpr uint8_t kScreenCommand = 0xB0;

} // namespace

TelvMonitorThread::TelvMonitorThread(int driverPauseMs, QObject *parent)
    : QThread(parent), m_driverPauseMs(driverPauseMs)
{
}

TelvMonitorThread::~TelvMonitorThread()
{
    // Only a running thread's driver is ours to end; another program's
    // monitor mode is left alone.
    if (isRunning())
        stopAndWait(-1);
}

QString TelvMonitorThread::defaultDriverPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/telvdrv")
        + QString::fromStdString(platform::exeSuffix());
}

void TelvMonitorThread::setDriverPath(const QString &path)
{
    m_driverPath = path;
    m_driverImage = QFileInfo(path).fileName();
}

std::array<uint8_t, 6> TelvMonitorThread::frameHeader(int width, int height)
{
    const uint32_t bytes = uint32_t(width) * uint32_t(height) * 2;
    return {0x00, 0x2C, uint8_t(bytes), uint8_t(bytes >> 8), uint8_t(bytes >> 16), 0x00};
}

void TelvMonitorThread::start(std::shared_ptr<screenlink::Screen> screen, int width, int height)
{
    if (isRunning())
        return;
    (void)m_finished.load(std::memory_order_acquire);
    if (m_driverPath.isEmpty())
        setDriverPath(defaultDriverPath());
    m_screen = std::move(screen);
    m_width = width;
    m_height = height;
    m_finished = false;
    m_running = true;
    QThread::start();
}

void TelvMonitorThread::stop()
{
    m_running = false;
    // The driver would set the event the thread waits on; it goes at once,
    // also when another program of the same user started it.
    if (m_driverImage.isEmpty())
        setDriverPath(defaultDriverPath());
    platform::endProcessTrees(m_driverImage.toStdString());
}

bool TelvMonitorThread::stopAndWait(int msec)
{
    stop();
    const bool ended = msec < 0 ? wait() : wait(QDeadlineTimer(msec));
    if (ended)
        (void)m_finished.load(std::memory_order_acquire);
    return ended;
}

bool TelvMonitorThread::pause(int ms)
{
    QDeadlineTimer until(ms);
    while (m_running && !until.hasExpired())
        msleep(unsigned(std::clamp<qint64>(until.remainingTime(), 1, kWaitSliceMs)));
    return m_running;
}

void TelvMonitorThread::run()
{
    std::shared_ptr<screenlink::Screen> screen = std::move(m_screen);
    if (!screen)
        qDebug("No screen connected.");
    else
        mirror(*screen);
    // The last user of the screen may be this thread: its handle closes here.
    screen.reset();
    m_finished.store(true, std::memory_order_release);
}

void TelvMonitorThread::mirror(screenlink::Screen &screen)
{
    const int width = m_width;
    const int height = m_height;
    if (!pictureFits(int64_t(width) * 4, width, height)) {
        qDebug("Screen size %dx%d does not fit the frame share.", width, height);
        return;
    }

    platform::endProcessTrees(m_driverImage.toStdString());
    if (!pause(m_driverPauseMs))
        return;

    QString why;
    std::unique_ptr<FrameShare> share = openFrameShare({}, &why);
    if (!share) {
        if (!why.isEmpty())
            qDebug("%s", qPrintable(why));
        qDebug("Can not create frame, need to be admin.");
        return;
    }
    share->writeSize(width, height);

    QProcess driver;
    // Its messages go where ours go; unread pipes would block it once full.
    driver.setProcessChannelMode(QProcess::ForwardedChannels);
    // So that a driver whose starter is gone before it could ask to go
    // along can tell (the exit signal it asks for covers only what follows).
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QLatin1String(kParentPidVariable), QString::number(QCoreApplication::applicationPid()));
    driver.setProcessEnvironment(environment);
    driver.start(m_driverPath, QStringList(), QIODevice::ReadWrite);
    driver.waitForStarted(kDriverStartMs);

    const size_t frameBytes = size_t(width) * size_t(height) * 2;
    std::vector<uint8_t> frame(frameBytes);
    std::array<uint8_t, 6> header = frameHeader(width, height);
    bool badStrideNoted = false;
    // Another process of ours cut the share short: what it holds is zeros
    // now and nothing more comes, so the mode ends as if stopped.
    const auto broken = [&share] {
        if (!share->broken())
            return false;
        qDebug("The frame share was made smaller while in use; monitor mode ends.");
        return true;
    };

    while (m_running) {
        // In slices, so that a stop ends the wait even when no picture comes.
        const FrameWait got = waitFrame(*share, kWaitSliceMs);
        if (broken())
            break;
        if (got == FrameWait::TimedOut)
            continue;
        if (got == FrameWait::Picture) {
            // Read after the event, when the driver has surely written it.
            const int32_t stride = share->stride();
            const bool converted = convertFrame(share->pixels(), stride, width, height, frame.data());
            if (broken())
                break;
            if (!converted) {
                if (!badStrideNoted)
                    qDebug("Frame share stride %d does not fit a %dx%d picture; skipped.", stride, width, height);
                badStrideNoted = true;
                continue;
            }
        }
        // A failed wait sends the previous picture again.
        if (libusb_control_transfer(screen.handle(), screenlink::kRequestOut, kScreenCommand, 0, 0, header.data(),
                                    uint16_t(header.size()), screenlink::kDisplayTimeoutMs)
            < 0)
            break;
        if (screenlink::sendBulk(screen.handle(), frame.data(), int(frameBytes)) < 0)
            break;
    }

    std::fill(frame.begin(), frame.end(), uint8_t(0));
    screenlink::sendBulk(screen.handle(), frame.data(), int(frameBytes));
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
