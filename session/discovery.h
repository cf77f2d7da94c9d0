#pragma once

#include "devicelist.h"
#include "modeltable.h"
#include "screen.h"
#include "usbhandles.h"

#include <QSize>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

// Finding screens on the bus and learning what they are. Plain blocking
// calls, for whichever thread may wait for a screen.
namespace session {

// A device of one of the screens' kinds, as one scan found it.
struct FoundDevice {
    int index = 0; // in the scan's device list
    screenlink::DeviceKind kind = screenlink::DeviceKind::Other;
    int bus = 0;
    int port = 0;
    int address = 0;
    QString portText() const;
};

// The screens' devices in the list's order; devices whose descriptor
// cannot be read and devices of other kinds are left out.
std::vector<FoundDevice> findScreens(const screenlink::DeviceList &devices);

// What a running screen says of itself.
struct Identity {
    QString identification;            // the model's text (see the model table)
    QString identString;               // the screen's own identification string
    QString deviceId;                  // "%02x%02x-%02x%02x-%02x%02x%02x%02x"
    screenlink::ScreenGeometry geometry; // `seed` with the model recorded in it
    std::optional<int> firmwareMinor;  // from "v0.NN" in the identification
};
Identity identify(screenlink::Screen &screen, const screenlink::ScreenGeometry &seed);

// Width and height from the second field of the screen's information
// string ("...,480x800,..."); nullopt when it has no such field.
std::optional<QSize> readScreenSize(screenlink::Screen &screen);

// The device of the list at `bus` and `port`; null when there is none.
libusb_device *deviceAt(const screenlink::DeviceList &devices, int bus, int port);

} // namespace session
