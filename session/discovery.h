#pragma once

#include "devicelist.h"
#include "screen.h"
#include "screeninfo.h"
#include "usbhandles.h"

#include <QSize>

#include <memory>
#include <optional>
#include <vector>

// Finding screens on the bus and learning what they are. Plain blocking
// calls, for whichever thread may wait for a screen.
namespace session {

// The screens' devices, not opened yet, in the order of libusb's list.
// Devices whose descriptor cannot be read and devices of other kinds are
// left out.
std::vector<ScreenInfo> findScreens(const screenlink::DeviceList &devices);

// Opens the device `info` names in `devices`, at its port and, when it has
// one, its address, claiming the screen; `info.access` says how it went.
// Null when it is gone, cannot be opened or another program holds it.
std::shared_ptr<screenlink::Screen> openScreen(const std::shared_ptr<screenlink::UsbContext> &context,
                                               const screenlink::DeviceList &devices, ScreenInfo &info);

// Reads what a running screen says of itself into `info`; the model is
// looked up starting from `info.geometry`, so that a panel no row knows
// keeps the size it had. False when the screen left while it was read:
// then `info` holds part of one screen's answers and zeros, never to be
// taken as its model.
[[nodiscard]] bool identify(screenlink::Screen &screen, ScreenInfo &info);

// Opens a running screen, identifies it and lets it go again: what listing
// it needs. `info.access` says whether it could be had.
void probe(const std::shared_ptr<screenlink::UsbContext> &context, const screenlink::DeviceList &devices,
           ScreenInfo &info);

// Width and height from the second field of the screen's information
// string ("...,480x800,..."); nullopt when it has no such field.
std::optional<QSize> readScreenSize(screenlink::Screen &screen);

} // namespace session
