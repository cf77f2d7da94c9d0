// Lists the USB devices a program sees, one line each:
// BUS.PORT VID:PID [identification string]. Used to check that a program
// started by tavrik-sim reaches the simulated screens.
#include "devicelist.h"
#include "requests.h"
#include "usbhandles.h"

#include <cstdio>

int main()
{
    screenlink::UsbContext usb;
    if (!usb) {
        std::fprintf(stderr, "libusb_init failed: %d\n", usb.initError());
        return 1;
    }
    screenlink::DeviceList list(usb.get());
    for (libusb_device *dev : list) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(dev, &d) < 0)
            continue;
        std::printf("%d.%d %04x:%04x", libusb_get_bus_number(dev), libusb_get_port_number(dev), d.idVendor,
                    d.idProduct);
        if (screenlink::deviceKind(d.idVendor, d.idProduct) == screenlink::DeviceKind::RunningScreen) {
            screenlink::DeviceHandle h = screenlink::DeviceHandle::open(dev);
            uint8_t ident[screenlink::kIdentLength + 1] = {};
            if (h && h.claimInterface0() == 0 && screenlink::readIdentString(h.get(), ident) > 0)
                std::printf(" %s", reinterpret_cast<const char *>(ident));
        }
        std::printf("\n");
    }
    return 0;
}
