#pragma once

#include "touchinjector.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Touches through the portal's remote-desktop session, as one finger on the
// cast's stream, or as presses of a pointer's left button there: the desktop
// places them on what the stream shows. Where the stream takes no point (a
// virtual monitor on GNOME 43), the pointer gets there by relative moves,
// through the desktop's layout.
namespace telvdrv {

enum class PortalDevice {
    Touchscreen,
    Pointer,         // absolute moves on the stream
    RelativePointer, // moves by an amount, through the layout
};

// Where the cast monitor lies among the desktop's, for relative moves.
struct DesktopLayout {
    std::vector<QRect> monitors; // logical, the cast one too
    QRect shown;                 // the cast monitor
    QSize picture;               // the size of its pictures
};
// Looked up at each press: monitors come and go. Null with `why`.
using LayoutLookup = std::function<std::optional<DesktopLayout>(std::string *why)>;

class PortalTouch final : public TouchInjector {
public:
    // `bus` is the connection that owns `session`: the portal takes input
    // only from there. `layout` is for a relative pointer only.
    PortalTouch(QDBusConnection bus, QString session, uint32_t stream, PortalDevice device, LayoutLookup layout = {});

    // Each call waits, briefly, for its answer before the next is sent: the
    // portal answers calls on several threads, so one not waited for could
    // overtake the one before (a lift its press). The forwarder's thread
    // waits, never the pictures.
    void inject(TouchPhase phase, int x, int y) override;

private:
    QDBusMessage notify(const char *method) const;
    void post(const QDBusMessage &message);
    void moveBy(QPoint by);
    // The button of a press or a lift; nothing for a move.
    void button(TouchPhase phase);
    // Through the layout, looked up again at each press.
    void injectRelative(TouchPhase phase, int x, int y);
    void dropped(const std::string &why);

    QDBusConnection m_bus;
    const QString m_session;
    const uint32_t m_stream;
    const PortalDevice m_device;
    const LayoutLookup m_lookup;
    std::optional<DesktopLayout> m_layout;
    std::optional<QPoint> m_at; // where the relative pointer was left
    std::string m_told;         // the last reason touches were dropped, said once
};

} // namespace telvdrv
