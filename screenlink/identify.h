#pragma once

#include "modeltable.h"
#include "screen.h"

#include <optional>

namespace screenlink {

// Reads the size and variant codes and the identification string of a
// running screen and records its model in `geometry`. Returns the
// identification text. Failed transfers leave zeros: codes no row matches,
// an empty identification string.
QString identifyScreen(Screen &screen, ScreenGeometry &geometry);

// The number after the first "v0." of an identification text, up to the
// next comma; 0 when that is not a number, nullopt without "v0.".
std::optional<int> firmwareMinor(const QString &identification);

} // namespace screenlink
