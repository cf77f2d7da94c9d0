#pragma once

#include "modeltable.h"
#include "touchchannel.h"
#include "touchinput.h"

#include <QSize>

// Touches on a screen that is a display of the desktop go to the frame
// driver, which hands them to the desktop where the screen shows them.
namespace session {

class DesktopTouch {
public:
    // `picture`: the size monitor mode publishes at.
    DesktopTouch(const screenlink::ScreenGeometry &geometry, int firmwareMinor, QSize picture,
                 const std::string &channel = monitor::defaultTouchChannelName());

    // On the event thread, as the report comes. A panel no row of the model
    // table knows has no known touch mounting: its touches are dropped, as
    // are those off the picture.
    void forward(const RawTouch &touch);

private:
    screenlink::ScreenGeometry m_geometry;
    int m_firmwareMinor;
    QSize m_picture;
    monitor::TouchSender m_sender;
};

} // namespace session
