#include "openscreen.h"

#include "remembered.h"

#include "bridge.h"
#include "frameoutput.h"
#include "screenlog.h"

#include <QSaveFile>

static void initLogoResources()
{
    Q_INIT_RESOURCE(logos);
}

namespace session {

using namespace screenlink;

void initSessionResources()
{
    static const bool done = (initLogoResources(), true);
    Q_UNUSED(done);
}

OpenScreen::OpenScreen(std::shared_ptr<Screen> link, ScreenInfo info) : m_link(std::move(link)), m_info(std::move(info))
{
}

OpenScreen::Shown OpenScreen::show(const QImage &picture)
{
    Shown shown;
    shown.picture = renderPicture(picture, pictureSize());
    const Frame frame = buildFrame(shown.picture, m_info.geometry);
    FrameSend how;
    how.displayOn = true;
    how.times = frame.sendTwice ? 2 : 1;
    shown.sent = m_link->sendFrame(frame.buffer.data(), frame.count, how) >= 0;
    return shown;
}

OpenScreen::Shown OpenScreen::fill(const QColor &colour)
{
    QImage picture(pictureSize(), QImage::Format_RGB32);
    picture.fill(colour);
    return show(picture);
}

OpenScreen::Shown OpenScreen::showLogo()
{
    initSessionResources();
    return show(QImage(logoResource(m_info.geometry.logo())));
}

bool OpenScreen::setFlip(int flip)
{
    return m_info.geometry.flipAllowed != 0 && m_link->sendFlip(uint8_t(flip)) >= 0;
}

bool OpenScreen::setBacklight(int level)
{
    if (m_link->sendBacklight(uint8_t(level & 0xFF)) < 0)
        return false;
    keepBacklight(m_info.deviceId, level & 0xFF);
    return true;
}

LogOutcome OpenScreen::saveLog(const QString &path, const std::atomic<bool> &stop)
{
    const std::optional<QByteArray> log = readLog(*m_link, stop);
    // Only a whole log replaces what was saved before.
    if (!log)
        return LogOutcome::ReadFailed;
    QSaveFile file(path);
    const bool saved = file.open(QIODevice::WriteOnly) && file.write(*log) == log->size() && file.commit();
    return saved ? LogOutcome::Saved : LogOutcome::SaveFailed;
}

bool OpenScreen::stillTheSame(QString *why) const
{
    if (!m_info.running()) {
        // A boot loader answers no request of ours and has no ID: this
        // plug-in still being on the bus is what tells it is the same.
        const bool there = m_link->stillOnBus();
        if (!there && why)
            *why = QStringLiteral("the screen at %1 left the bus or was replaced").arg(m_info.port.fullText());
        return there;
    }
    bool whole = false;
    QString now;
    for (int tries = 0; tries < 3 && !whole; ++tries)
        now = readDeviceId(*m_link, &whole);
    if (!whole) {
        // Zeros it did not send could stand for any screen.
        if (why)
            *why = QStringLiteral("the device ID of the screen at %1 cannot be read").arg(m_info.port.fullText());
        return false;
    }
    if (now == m_info.deviceId)
        return true;
    if (why)
        *why = QStringLiteral("the screen at %1 is %2 now, not %3, the one chosen")
                   .arg(m_info.port.fullText(), now, m_info.deviceId);
    return false;
}

} // namespace session
