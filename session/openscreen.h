#pragma once

#include "screen.h"
#include "screeninfo.h"

#include <QColor>
#include <QImage>

#include <atomic>
#include <memory>

namespace session {

// Registers the start logos (they live in a static library).
void initSessionResources();

// How a screen log read-out ended.
enum class LogOutcome { Saved, ReadFailed, SaveFailed };

// A screen we hold, with what it said of itself when it was opened, and
// every job one front end or another asks of it. The jobs block until the
// screen has answered and may run on any thread; the screen's one
// serialising point keeps their requests apart.
class OpenScreen {
public:
    OpenScreen(std::shared_ptr<screenlink::Screen> link, ScreenInfo info);

    const ScreenInfo &info() const { return m_info; }
    const std::shared_ptr<screenlink::Screen> &link() const { return m_link; }
    QSize pictureSize() const { return m_info.geometry.pictureSize(); }

    // The picture as the panel shows it (centred on white, RGB 5-6-5), sent
    // to the screen. `sent` is false when the screen did not take it.
    struct Shown {
        QImage picture;
        bool sent = false;
    };
    Shown show(const QImage &picture);
    // The picture filled with one colour.
    Shown fill(const QColor &colour);
    // The model's start logo.
    Shown showLogo();

    // Flip bits (1 vertical, 2 horizontal); false for a panel that cannot
    // flip or a screen that does not answer.
    bool setFlip(int flip);
    bool setDefaultFlip() { return setFlip(m_info.geometry.flipDefault); }
    bool setBacklight(int level);

    // Reads the whole log into `path`; the file is written only when every
    // read came back whole. A stop ends the read-out as failed.
    LogOutcome saveLog(const QString &path, const std::atomic<bool> &stop);

    // Whether the screen at hand is still the one opened: the device ID it
    // reads now equals the one it had (a boot loader has none: there it is
    // whether the screen still answers on this handle). `why` names both.
    bool stillTheSame(QString *why) const;

private:
    std::shared_ptr<screenlink::Screen> m_link;
    ScreenInfo m_info;
};

} // namespace session
