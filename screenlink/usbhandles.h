#pragma once

#include "devicelist.h"

#include <libusb.h>

#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

// Owners of libusb's C resources. Nothing outside this file calls libusb's
// release functions: each resource is released exactly once, by its owner.
namespace screenlink {

class UsbContext {
public:
    UsbContext();
    ~UsbContext();
    UsbContext(const UsbContext &) = delete;
    UsbContext &operator=(const UsbContext &) = delete;

    libusb_context *get() const { return m_ctx; }
    explicit operator bool() const { return m_ctx != nullptr; }
    int initError() const { return m_error; }
    // libusb's name of the error that kept it from starting.
    const char *initErrorName() const { return libusb_error_name(m_error); }
    // Runs what libusb has to do (completions, hot-plug), waiting at most `ms`.
    void handleEvents(int ms) const;

private:
    libusb_context *m_ctx = nullptr;
    int m_error = 0;
};

// A snapshot of the bus. The devices stay referenced while the list lives.
class DeviceList {
public:
    explicit DeviceList(libusb_context *ctx);
    ~DeviceList();
    DeviceList(const DeviceList &) = delete;
    DeviceList &operator=(const DeviceList &) = delete;

    // Number of devices; 0 when the list could not be read (see error()).
    size_t size() const { return m_count; }
    int error() const { return m_error; }
    libusb_device *operator[](size_t i) const { return m_list[i]; }
    // Every device whose descriptor can be read, in the list's order.
    std::vector<BusDevice> devices() const;
    // The device of this plug-in at `port` (any address when `address` is 0).
    libusb_device *find(const PortPath &port, int address = 0) const;
    libusb_device *const *begin() const { return m_list; }
    libusb_device *const *end() const { return m_list + m_count; }

private:
    libusb_device **m_list = nullptr;
    size_t m_count = 0;
    int m_error = 0;
};

// Told whenever a device arrives or leaves, from within handleEvents() of
// its context (so on whichever thread pumps the events). Registered for as
// long as it lives; where libusb has no hot-plug support it never tells.
class HotplugWatch {
public:
    HotplugWatch(libusb_context *ctx, std::function<void()> changed);
    ~HotplugWatch();
    HotplugWatch(const HotplugWatch &) = delete;
    HotplugWatch &operator=(const HotplugWatch &) = delete;

    bool watching() const { return m_registered; }

private:
    static int LIBUSB_CALL onEvent(libusb_context *, libusb_device *, libusb_hotplug_event, void *self);

    libusb_context *m_ctx;
    std::function<void()> m_changed;
    libusb_hotplug_callback_handle m_handle = 0;
    bool m_registered = false;
};

// An open device with interface 0 claimed. Closing releases the interface
// first; a handle whose device has gone is closed all the same.
class DeviceHandle {
public:
    DeviceHandle() = default;
    ~DeviceHandle() { reset(); }
    DeviceHandle(DeviceHandle &&other) noexcept
        : m_handle(std::exchange(other.m_handle, nullptr)), m_claimed(std::exchange(other.m_claimed, false))
    {
    }
    DeviceHandle &operator=(DeviceHandle &&other) noexcept;
    DeviceHandle(const DeviceHandle &) = delete;
    DeviceHandle &operator=(const DeviceHandle &) = delete;

    // Opens `device`; on failure the handle is empty and *error holds libusb's code.
    static DeviceHandle open(libusb_device *device, int *error = nullptr);
    // Claims interface 0 and selects its alternate setting 0, as every screen
    // expects. Returns libusb's result of the claim.
    int claimInterface0();

    libusb_device_handle *get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }
    void reset();

private:
    libusb_device_handle *m_handle = nullptr;
    bool m_claimed = false;
};

// A libusb transfer. Freeing one that is still in flight is libusb's
// undefined behaviour: its owner must have seen the last callback first.
class Transfer {
public:
    Transfer() : m_transfer(libusb_alloc_transfer(0)) {}
    ~Transfer() { libusb_free_transfer(m_transfer); }
    Transfer(const Transfer &) = delete;
    Transfer &operator=(const Transfer &) = delete;

    libusb_transfer *get() const { return m_transfer; }
    libusb_transfer *operator->() const { return m_transfer; }
    explicit operator bool() const { return m_transfer != nullptr; }

private:
    libusb_transfer *m_transfer;
};

} // namespace screenlink
