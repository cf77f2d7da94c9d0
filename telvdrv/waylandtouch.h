#pragma once

#include "screencastportal.h"
#include "touchinjector.h"

#include <QSize>

#include <memory>
#include <string>

// Touches on a Wayland desktop: through the portal's remote-desktop session
// the cast belongs to where the desktop offers it (GNOME, KDE), else the
// compositor's virtual pointer (wlroots).
namespace telvdrv {

// Null with `why` when this desktop takes no touches from us. `asked` is the
// picture size a virtual monitor was asked to have.
std::unique_ptr<TouchInjector> waylandTouch(const ScreenCast &cast, ScreenCastPortal &portal, QSize asked,
                                            std::string *why);

} // namespace telvdrv
