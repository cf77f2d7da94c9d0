#include "desktoptouch.h"

namespace session {

DesktopTouch::DesktopTouch(const screenlink::ScreenGeometry &geometry, int firmwareMinor, QSize picture,
                           const std::string &channel)
    : m_geometry(geometry), m_firmwareMinor(firmwareMinor), m_picture(picture), m_sender(channel)
{
}

void DesktopTouch::forward(const RawTouch &touch)
{
    if (!m_geometry.model || m_picture.isEmpty())
        return;
    const QSize panel = m_geometry.pictureSize();
    const QPoint at = mapTouch(m_geometry, m_firmwareMinor, touch.x, touch.y);
    if (at.x() < 0 || at.y() < 0 || at.x() >= panel.width() || at.y() >= panel.height())
        return;
    // The share's picture may have another size than the panel's own.
    const int x = int(int64_t(at.x()) * m_picture.width() / panel.width());
    const int y = int(int64_t(at.y()) * m_picture.height() / panel.height());
    // Nobody listening (touches off, a desktop that takes none) is no fault.
    m_sender.send(x, y, touch.t == 1);
}

} // namespace session
