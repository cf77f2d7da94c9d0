#include "portaltouch.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QVariantMap>

namespace telvdrv {

namespace {

// The panels report one finger.
constexpr uint kSlot = 0;

} // namespace

PortalTouch::PortalTouch(QDBusConnection bus, QString session, uint32_t stream)
    : m_bus(std::move(bus)), m_session(std::move(session)), m_stream(stream)
{
}

void PortalTouch::inject(TouchPhase phase, int x, int y)
{
    static const char *const kMethods[] = {"NotifyTouchDown", "NotifyTouchMotion", "NotifyTouchUp"};
    QDBusMessage message = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.portal.Desktop"), QStringLiteral("/org/freedesktop/portal/desktop"),
        QStringLiteral("org.freedesktop.portal.RemoteDesktop"), QLatin1String(kMethods[int(phase)]));
    message << QVariant::fromValue(QDBusObjectPath(m_session)) << QVariantMap();
    if (phase == TouchPhase::Up)
        message << kSlot;
    else
        message << uint(m_stream) << kSlot << double(x) << double(y);
    m_bus.send(message);
}

} // namespace telvdrv
