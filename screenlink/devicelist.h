#pragma once

#include <libusb.h>

#include <QString>
#include <QStringList>

#include <cstdint>

// Naming and finding screens on the bus, and the texts of the screen list.
namespace screenlink {

enum class DeviceKind { RunningScreen, K2tBootLoader, TelvBootLoader, Other };

DeviceKind deviceKind(uint16_t vendorId, uint16_t productId);
// "SCREEN", "K2T" or "TELV"; empty for other devices.
QString kindWord(DeviceKind kind);

// "PHY(bus.port)" in decimal; "PHY(-1.-1)" names no device.
QString phyText(libusb_device *device);
QString phyText(int bus, int port);
inline const QString kNoPort = QStringLiteral("PHY(-1.-1)");
// Bus and port of a port text; a part that is not a number reads 0.
void parsePhyText(const QString &key, int *bus, int *port);

// Field `index` of a comma-separated list entry.
QString entryField(const QString &entry, int index);

// Matches the listed entries against one scan's new entries by port text.
// Returns the listed entries that are gone; `pending` keeps the new entries
// that are not listed yet.
QStringList matchListedEntries(const QStringList &listed, QStringList &pending);

// What stands first in a running screen's list entry: field 3 of its
// identification text, or the last field (its panel label) when it has
// fewer, trimmed.
QString listedName(const QString &identification);

} // namespace screenlink
