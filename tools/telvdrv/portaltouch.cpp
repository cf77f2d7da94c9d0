#include "portaltouch.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QVariantMap>

namespace telvdrv {

namespace {

// The panels report one finger.
constexpr uint kSlot = 0;
constexpr int kLeftButton = 0x110; // BTN_LEFT
constexpr int kAnswerWaitMs = 1000;

} // namespace

PortalTouch::PortalTouch(QDBusConnection bus, QString session, uint32_t stream, bool pointer)
    : m_bus(std::move(bus)), m_session(std::move(session)), m_stream(stream), m_pointer(pointer)
{
    if (!m_pointer)
        return;
    // mutter makes the session's pointer at its first event; on a desktop
    // without one, windows learn of it only then and would miss that event.
    // A move by nothing makes it now, long before a finger comes.
    post(notify("NotifyPointerMotion") << 0.0 << 0.0);
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
    // The portal answers calls on several threads: one sent before the last
    // was answered could overtake it, a press the move to where it belongs.
    m_bus.call(message, QDBus::Block, kAnswerWaitMs);
}

void PortalTouch::inject(TouchPhase phase, int x, int y)
{
    if (m_pointer) {
        post(notify("NotifyPointerMotionAbsolute") << uint(m_stream) << double(x) << double(y));
        if (phase != TouchPhase::Move)
            post(notify("NotifyPointerButton") << kLeftButton << uint(phase == TouchPhase::Down ? 1 : 0));
        return;
    }
    static const char *const kMethods[] = {"NotifyTouchDown", "NotifyTouchMotion", "NotifyTouchUp"};
    QDBusMessage message = notify(kMethods[int(phase)]);
    if (phase == TouchPhase::Up)
        message << kSlot;
    else
        message << uint(m_stream) << kSlot << double(x) << double(y);
    m_bus.send(message);
}

} // namespace telvdrv
