#pragma once

#include "../model/screenmodel.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim {

// Simulated screens on an emulated USB bus. Programs reach them through the
// real libusb Linux backend: umockdev redirects sysfs, udev and the usbdevfs
// device nodes of a process started under its preload library into this
// bus. Create the bus before libusb_init() of the process under test, or
// before starting a child program, so that UMOCKDEV_DIR is set.
class VirtualBus {
public:
    VirtualBus();
    ~VirtualBus();
    VirtualBus(const VirtualBus &) = delete;
    VirtualBus &operator=(const VirtualBus &) = delete;

    // Puts a screen on bus `bus`, port `port` (1-127) and plugs it in.
    // Returns its slot number.
    int attach(std::shared_ptr<ScreenModel> model, int bus, int port);
    // The same behind hubs: `path` holds the ports from the root hub down
    // ({2, 1}: port 1 of the hub at port 2). The hubs are added first.
    int attach(std::shared_ptr<ScreenModel> model, int bus, const std::vector<int> &path);
    // Pulls the cable: pending transfers end with no-device, later requests
    // fail, and udev reports the removal.
    void unplug(int slot);
    // Plugs the screen back in with a new device address, as a hub does.
    void plug(int slot);
    // A power cycle: the screen leaves the bus, powers up (running what it
    // holds if that is bootable, else in its boot loader) and comes back
    // with a new device address. Plain unplug() and plug() keep the screen's
    // state as it was, like a cable pulled on a self-powered screen.
    void replug(int slot);
    bool plugged(int slot) const;
    // The device address of the slot's current plug-in, 0 when unplugged.
    int deviceAddress(int slot) const;
    std::shared_ptr<ScreenModel> model(int slot) const;
    int slotCount() const;
    int busNumber(int slot) const;
    int portNumber(int slot) const;
    std::vector<int> portPath(int slot) const;
    // Another screen in its place: the one there is pulled out, the new one
    // plugged in at the same port with a new address, as a person swapping
    // cables does.
    void putInPlace(int slot, std::shared_ptr<ScreenModel> model);

    // Called from a bus thread after a slot was plugged in or left the bus
    // (also when a screen reboots by itself).
    void setChangeListener(std::function<void(int slot)> listener);

    // ioctl requests the slot's device nodes have answered so far.
    uint64_t ioctlCount(int slot) const;

    std::string rootDir() const;

    // Whether this process runs under umockdev's preload library. Only then
    // does the bus reach its own libusb calls and send the plug, unplug and
    // restart events that other processes' libusb learns the bus from.
    static bool underPreload();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace sim
