#pragma once

#include "devicelist.h"
#include "screen.h"
#include "usbhandles.h"

#include <libusb.h>

#include <memory>

// A screen another program holds: opened and claimed at `bus` (and `port`,
// when given) through `context` for as long as the result is kept, as
// tavrikctl or monitor mode keep theirs. Null while it cannot be had yet.
// One context for every try: a new one per try is slow enough to lose the
// race with a window that opens the screen itself.
inline std::shared_ptr<screenlink::Screen> holdScreen(const std::shared_ptr<screenlink::UsbContext> &context,
                                                      int bus, int port = -1)
{
    const screenlink::DeviceList devices(context->get());
    for (libusb_device *d : devices)
        if (libusb_get_bus_number(d) == bus && (port < 0 || libusb_get_port_number(d) == port))
            if (std::shared_ptr<screenlink::Screen> held = screenlink::Screen::open(context, d))
                return held;
    return nullptr;
}
