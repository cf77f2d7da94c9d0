#include "descriptors.h"

#include <cstdio>

namespace sim {

std::vector<uint8_t> deviceDescriptors(UsbId id)
{
    const bool running = id == kRunningId;
    std::vector<uint8_t> d = {
        // device: USB 2.0, vendor class, 64-byte control endpoint, one configuration
        18, 0x01, 0x00, 0x02, 0xFF, 0x00, 0x00, 64,
        uint8_t(id.vendor), uint8_t(id.vendor >> 8), uint8_t(id.product), uint8_t(id.product >> 8),
        0x00, 0x01, 0, 0, 0, 1,
        // configuration: one interface, bus powered, 500 mA
        9, 0x02, 32, 0, 1, 1, 0, 0x80, 250,
        // interface 0, alternate 0, two endpoints, vendor class
        9, 0x04, 0, 0, 2, 0xFF, 0x00, 0x00, 0,
    };
    if (running) {
        // bulk OUT 0x02 for frames, interrupt IN 0x81 for touch reports
        const uint8_t eps[] = {7, 0x05, 0x02, 0x02, 0x00, 0x02, 0,
                               7, 0x05, 0x81, 0x03, 0x10, 0x00, 4};
        d.insert(d.end(), std::begin(eps), std::end(eps));
    } else {
        // boot loaders: a bulk pair for their own download protocols
        const uint8_t eps[] = {7, 0x05, 0x01, 0x02, 0x00, 0x02, 0,
                               7, 0x05, 0x82, 0x02, 0x00, 0x02, 0};
        d.insert(d.end(), std::begin(eps), std::end(eps));
    }
    return d;
}

std::vector<uint8_t> hubDescriptors()
{
    return {
        // device: USB 2.0, hub class, a generic hub's vendor and product
        18, 0x01, 0x00, 0x02, 0x09, 0x00, 0x01, 64, 0xE3, 0x05, 0x08, 0x06, 0x00, 0x01, 0, 0, 0, 1,
        // configuration: one interface, self powered
        9, 0x02, 25, 0, 1, 1, 0, 0xE0, 0,
        // interface 0: hub class, one endpoint
        9, 0x04, 0, 0, 1, 0x09, 0x00, 0x00, 0,
        // interrupt IN 0x81: port status changes
        7, 0x05, 0x81, 0x03, 0x01, 0x00, 12,
    };
}

std::string deviceRecord(const std::string &syspath, const std::string &devnode, int bus, int devnum,
                         const std::vector<uint8_t> &descriptors)
{
    char num[32];
    std::string hex;
    for (uint8_t b : descriptors) {
        std::snprintf(num, sizeof num, "%02x", b);
        hex += num;
    }
    const std::string devpath = syspath.rfind("/sys", 0) == 0 ? syspath.substr(4) : syspath;
    std::string r;
    r += "P: " + devpath + "\n";
    r += "E: SUBSYSTEM=usb\n";
    r += "E: DEVTYPE=usb_device\n";
    r += "E: DRIVER=usb\n";
    std::snprintf(num, sizeof num, "%03d", bus);
    r += std::string("E: BUSNUM=") + num + "\n";
    std::snprintf(num, sizeof num, "%03d", devnum);
    r += std::string("E: DEVNUM=") + num + "\n";
    r += "E: DEVNAME=" + devnode + "\n";
    r += "A: busnum=" + std::to_string(bus) + "\\n\n";
    r += "A: devnum=" + std::to_string(devnum) + "\\n\n";
    r += "A: speed=480\\n\n";
    r += "A: bConfigurationValue=1\\n\n";
    r += "A: dev=189:" + std::to_string((bus - 1) * 128 + devnum - 1) + "\\n\n";
    r += "H: descriptors=" + hex + "\n";
    return r;
}

} // namespace sim
