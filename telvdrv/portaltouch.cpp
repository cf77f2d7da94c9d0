#include "portaltouch.h"

#include "pointerpath.h"

#include <QDBusObjectPath>
#include <QVariantMap>

#include <cstdio>

namespace telvdrv {

namespace {

// The panels report one finger.
constexpr uint kSlot = 0;
constexpr int kLeftButton = 0x110; // BTN_LEFT
constexpr int kAnswerWaitMs = 1000;

} // namespace

PortalTouch::PortalTouch(QDBusConnection bus, QString session, uint32_t stream, PortalDevice device,
                         LayoutLookup layout)
    : m_bus(std::move(bus)),
      m_session(std::move(session)),
      m_stream(stream),
      m_device(device),
      m_lookup(std::move(layout))
{
    if (m_device == PortalDevice::Touchscreen)
        return;
    // mutter makes the session's pointer at its first event; on a desktop
    // without one, windows learn of it only then and would miss that event.
    // A move by nothing makes it now, long before a finger comes.
    moveBy({});
}

QDBusMessage PortalTouch::notify(const char *method) const
{
    QDBusMessage message = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.portal.Desktop"), QStringLiteral("/org/freedesktop/portal/desktop"),
        QStringLiteral("org.freedesktop.portal.RemoteDesktop"), QLatin1String(method));
    message << QVariant::fromValue(QDBusObjectPath(m_session)) << QVariantMap();
    return message;
}

void PortalTouch::post(const QDBusMessage &message)
{
    m_bus.call(message, QDBus::Block, kAnswerWaitMs);
}

void PortalTouch::moveBy(QPoint by)
{
    post(notify("NotifyPointerMotion") << double(by.x()) << double(by.y()));
}

void PortalTouch::dropped(const std::string &why)
{
    // Said once, not at every touch.
    if (why != m_told)
        std::fprintf(stderr, "telvdrv: a touch was dropped: %s\n", why.c_str());
    m_told = why;
    m_layout.reset();
}

void PortalTouch::button(TouchPhase phase)
{
    if (phase != TouchPhase::Move)
        post(notify("NotifyPointerButton") << kLeftButton << uint(phase == TouchPhase::Down ? 1 : 0));
}

void PortalTouch::injectRelative(TouchPhase phase, int x, int y)
{
    if (phase == TouchPhase::Down) {
        std::string why;
        m_layout = m_lookup ? m_lookup(&why) : std::nullopt;
        m_at.reset();
        if (!m_layout || m_layout->picture.isEmpty())
            return dropped(why);
    }
    if (!m_layout)
        return;
    const DesktopLayout &l = *m_layout;
    const QPoint target = l.shown.topLeft()
        + QPoint(int(int64_t(x) * l.shown.width() / l.picture.width()),
                 int(int64_t(y) * l.shown.height() / l.picture.height()));
    if (phase == TouchPhase::Down) {
        // Nothing tells where the user left the pointer: from anywhere.
        const std::optional<std::vector<QPoint>> path = pointerPath(l.monitors, target);
        if (!path)
            return dropped("no way for the pointer onto the screen's monitor was found");
        for (const QPoint by : *path)
            moveBy(by);
    } else if (m_at && target != *m_at) {
        moveBy(target - *m_at);
    }
    m_at = target;
    button(phase);
}

void PortalTouch::inject(TouchPhase phase, int x, int y)
{
    if (m_device == PortalDevice::RelativePointer)
        return injectRelative(phase, x, y);
    if (m_device == PortalDevice::Pointer) {
        post(notify("NotifyPointerMotionAbsolute") << uint(m_stream) << double(x) << double(y));
        return button(phase);
    }
    static const char *const kMethods[] = {"NotifyTouchDown", "NotifyTouchMotion", "NotifyTouchUp"};
    QDBusMessage message = notify(kMethods[int(phase)]);
    if (phase == TouchPhase::Up)
        message << kSlot;
    else
        message << uint(m_stream) << kSlot << double(x) << double(y);
    post(message);
}

} // namespace telvdrv
