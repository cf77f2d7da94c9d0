// Lists the USB devices a program sees, one line each:
// BUS.PORT VID:PID [identification string]. Used to check that a program
// started by tavrik-sim reaches the simulated screens.
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
        if (d.idVendor == 0xC872 && d.idProduct == 0x1004) {
            screenlink::DeviceHandle h = screenlink::DeviceHandle::open(dev);
            unsigned char ident[65] = {};
            if (h && h.claimInterface0() == 0
                && libusb_control_transfer(h.get(), 0xC0, 0xA0, 0, 0, ident, 64, 200) > 0)
                std::printf(" %s", reinterpret_cast<const char *>(ident));
        }
        std::printf("\n");
    }
    return 0;
}
