#pragma once

#include "modeltable.h"
#include "screen.h"

#include <optional>

namespace screenlink {

// Reads the size and variant codes and the identification string of a
// running screen and records its model in `geometry`. Returns the
// identification text. Failed transfers leave zeros: codes no row matches,
// an empty identification string.
// `identString`, when given, receives the screen's own identification string.
QString identifyScreen(Screen &screen, ScreenGeometry &geometry, QString *identString = nullptr);

// The number after the first "v0." of an identification text, up to the
// next comma; 0 when that is not a number, nullopt without "v0.".
std::optional<int> firmwareMinor(const QString &identification);

// Width and height from the second field of an information string
// ("...,480x800,..."); a part that is not a number reads 0. Nullopt when
// that field or its "x" is missing.
std::optional<QSize> screenSizeFromInformation(const QString &information);

} // namespace screenlink
