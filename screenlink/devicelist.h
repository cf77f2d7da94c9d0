#pragma once

#include <libusb.h>

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

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

// Where a device sits: its bus and the ports from the root hub down to it.
// Two screens on port 1 of two hubs share a bus and a last port; their
// paths differ, so the path is what names a screen everywhere.
struct PortPath {
    int bus = -1;
    std::vector<uint8_t> ports; // root hub's port first; empty for none

    static PortPath of(libusb_device *device);
    bool valid() const { return bus >= 0 && !ports.empty(); }
    int lastPort() const { return ports.empty() ? -1 : ports.back(); }
    // "PHY(1.4)": bus and last port, as the screen list shows a port that
    // is the only one of its number on its bus.
    QString shortText() const;
    // "PHY(1.2.4)": bus and every port, for ports that share bus and last port.
    QString fullText() const;
    // The short text where no other of `all` shares bus and last port.
    QString text(const std::vector<PortPath> &all) const;
    // Whether the user's "PHY(1.4)", "1.4", "PHY(1.2.4)" or "1.2.4" names it:
    // the whole path, or the bus and last port.
    bool namedBy(const QString &text) const;
    // The machine-wide name our programs hold while one of them keeps the
    // port's screen beyond a claim of the device (see Screen::open).
    std::string holdName() const;
    bool operator==(const PortPath &) const = default;
    bool operator<(const PortPath &o) const { return std::tie(bus, ports) < std::tie(o.bus, o.ports); }
};
// Bus and ports of a port text ("PHY(1.2.4)" or "1.2.4"); nullopt for
// anything else.
std::optional<PortPath> parsePortPath(const QString &text);

// A device of a scan whose descriptor could be read.
struct BusDevice {
    size_t index = 0; // in the scan's device list
    UsbId id;
    PortPath port;
    int address = 0;
    DeviceKind kind() const;
};

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
