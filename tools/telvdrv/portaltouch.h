#pragma once

#include "touchinjector.h"

#include <QDBusConnection>
#include <QString>

#include <cstdint>

// Touches through the portal's remote-desktop session, as one finger on the
// cast's stream: the desktop places them on what the stream shows.
namespace telvdrv {

class PortalTouch : public TouchInjector {
public:
    // `bus` is the connection that owns `session`: the portal takes input
    // only from there.
    PortalTouch(QDBusConnection bus, QString session, uint32_t stream);

    // Sent without waiting for an answer: a busy portal must not hold the
    // next touch back.
    void inject(TouchPhase phase, int x, int y) override;

private:
    QDBusConnection m_bus;
    const QString m_session;
    const uint32_t m_stream;
};

} // namespace telvdrv
