#pragma once

#include "../model/screenmodel.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Device, configuration, interface and endpoint descriptors as the kernel's
// sysfs "descriptors" file holds them.
std::vector<uint8_t> deviceDescriptors(UsbId id);

// A USB 2.0 hub's: hub class, one interface with its status endpoint.
std::vector<uint8_t> hubDescriptors();

// The umockdev record of one USB device: sysfs attributes and udev
// properties, for umockdev_testbed_add_from_string().
std::string deviceRecord(const std::string &syspath, const std::string &devnode, int bus, int devnum,
                         const std::vector<uint8_t> &descriptors);

} // namespace sim
