#pragma once

#include "touchinjector.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>

#include <cstdint>

// Touches through the portal's remote-desktop session, as one finger on the
// cast's stream, or as presses of a pointer's left button there: the desktop
// places them on what the stream shows.
namespace telvdrv {

class PortalTouch final : public TouchInjector {
public:
    // `bus` is the connection that owns `session`: the portal takes input
    // only from there.
    PortalTouch(QDBusConnection bus, QString session, uint32_t stream, bool pointer);

    // Touches are sent without waiting for an answer: a busy portal must not
    // hold the next one back. A pointer's calls wait, briefly, each for its
    // answer.
    void inject(TouchPhase phase, int x, int y) override;

private:
    QDBusMessage notify(const char *method) const;
    void post(const QDBusMessage &message);

    QDBusConnection m_bus;
    const QString m_session;
    const uint32_t m_stream;
    const bool m_pointer;
};

} // namespace telvdrv
