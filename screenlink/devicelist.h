#pragma once

#include <libusb.h>

#include <QString>
#include <QStringList>

#include <cstdint>

// Naming and finding screens on the bus, and the texts of the screen list.
namespace screenlink {

enum class DeviceKind { RunningScreen, K2tBootLoader, TelvBootLoader, Other };

struct UsbId {
    uint16_t vendor = 0;
    uint16_t product = 0;
    bool operator==(const UsbId &) const = default;
};

// The only place the screens' USB IDs are written down. A running screen
// of either family; the TELV boot loader (Allwinner's FEL mode); the
// K2T/K5TX boot loader (an unprogrammed Cypress FX2).
inline constexpr UsbId kRunningScreenId{0xC872, 0x1004};
inline constexpr UsbId kTelvBootLoaderId{0x1F3A, 0xEFE8};
inline constexpr UsbId kK2tBootLoaderId{0x04B4, 0x8613};
// The IDs remembered while no screen is open.
inline constexpr UsbId kNoScreenId{0xFFFF, 0xFFFF};

DeviceKind deviceKind(uint16_t vendorId, uint16_t productId);
inline DeviceKind deviceKind(UsbId id)
{
    return deviceKind(id.vendor, id.product);
}
// The ID of a kind; kNoScreenId for Other.
UsbId usbId(DeviceKind kind);
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
