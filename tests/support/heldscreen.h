#pragma once

#include "devicelist.h"
#include "screen.h"
#include "usbhandles.h"

#include <libusb.h>

#include <memory>

// A screen another program holds: opened and claimed at `bus` (and `port`,
// when given) for as long as the result is kept, as tavrikctl or monitor
// mode keep theirs. Null while it cannot be had yet.
inline std::shared_ptr<screenlink::Screen> holdScreen(int bus, int port = -1)
{
    auto context = std::make_shared<screenlink::UsbContext>();
    const screenlink::DeviceList devices(context->get());
    for (libusb_device *d : devices)
        if (libusb_get_bus_number(d) == bus && (port < 0 || libusb_get_port_number(d) == port))
            if (std::shared_ptr<screenlink::Screen> held = screenlink::Screen::open(context, d))
                return held;
    return nullptr;
}
