#pragma once

#include "screen.h"
#include "usbhandles.h"

#include <chrono>
#include <memory>
#include <thread>

// The simulated screen at `port`, opened once the emulated bus lists it;
// null when it has not come within two seconds.
inline std::shared_ptr<screenlink::Screen> openSimulatedScreen(const std::shared_ptr<screenlink::UsbContext> &ctx,
                                                               int port)
{
    for (int tries = 0; tries < 200; ++tries) {
        screenlink::DeviceList list(ctx->get());
        for (libusb_device *dev : list)
            if (libusb_get_port_number(dev) == port)
                if (auto s = screenlink::Screen::open(ctx, dev))
                    return s;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return nullptr;
}
