#include "usbhandles.h"

namespace screenlink {

UsbContext::UsbContext()
{
    m_error = libusb_init(&m_ctx);
    if (m_error < 0)
        m_ctx = nullptr;
}

UsbContext::~UsbContext()
{
    if (m_ctx)
        libusb_exit(m_ctx);
}

void UsbContext::handleEvents(int ms) const
{
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    libusb_handle_events_timeout_completed(m_ctx, &tv, nullptr);
}

HotplugWatch::HotplugWatch(libusb_context *ctx, std::function<void()> changed)
    : m_ctx(ctx), m_changed(std::move(changed))
{
    if (!ctx || !libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG))
        return;
    const auto events =
        libusb_hotplug_event(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
    m_registered = libusb_hotplug_register_callback(ctx, events, LIBUSB_HOTPLUG_NO_FLAGS, LIBUSB_HOTPLUG_MATCH_ANY,
                                                    LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, &onEvent,
                                                    this, &m_handle)
                   == LIBUSB_SUCCESS;
}

HotplugWatch::~HotplugWatch()
{
    if (m_registered)
        libusb_hotplug_deregister_callback(m_ctx, m_handle);
}

int LIBUSB_CALL HotplugWatch::onEvent(libusb_context *, libusb_device *, libusb_hotplug_event, void *self)
{
    static_cast<HotplugWatch *>(self)->m_changed();
    return 0; // stay registered
}

DeviceList::DeviceList(libusb_context *ctx)
{
    const ssize_t n = libusb_get_device_list(ctx, &m_list);
    if (n < 0) {
        m_error = int(n);
        m_list = nullptr;
    } else {
        m_count = size_t(n);
    }
}

DeviceList::~DeviceList()
{
    if (m_list)
        libusb_free_device_list(m_list, 1);
}

std::vector<BusDevice> DeviceList::devices() const
{
    std::vector<BusDevice> out;
    for (size_t i = 0; i < m_count; ++i) {
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(m_list[i], &desc) < 0)
            continue;
        out.push_back({i, {desc.idVendor, desc.idProduct}, PortPath::of(m_list[i]), libusb_get_device_address(m_list[i])});
    }
    return out;
}

libusb_device *DeviceList::find(const PortPath &port, int address) const
{
    for (size_t i = 0; i < m_count; ++i)
        if (PortPath::of(m_list[i]) == port && (address == 0 || libusb_get_device_address(m_list[i]) == address))
            return m_list[i];
    return nullptr;
}

DeviceHandle &DeviceHandle::operator=(DeviceHandle &&other) noexcept
{
    if (this != &other) {
        reset();
        m_handle = std::exchange(other.m_handle, nullptr);
        m_claimed = std::exchange(other.m_claimed, false);
    }
    return *this;
}

DeviceHandle DeviceHandle::open(libusb_device *device, int *error)
{
    DeviceHandle h;
    const int r = libusb_open(device, &h.m_handle);
    if (r < 0)
        h.m_handle = nullptr;
    if (error)
        *error = r;
    return h;
}

namespace {

// libusb before 1.0.27 unlocks a lock it never took when the device left
// just before the call, and later aborts closing the handle. Interface 0's
// only alternate setting is the current one after a claim anyway.
bool alternateSettingIsSafe()
{
    const libusb_version *v = libusb_get_version();
    return v->major > 1 || (v->major == 1 && (v->minor > 0 || v->micro >= 27));
}

} // namespace

int DeviceHandle::claimInterface0()
{
    if (!m_handle)
        return LIBUSB_ERROR_INVALID_PARAM;
    const int r = libusb_claim_interface(m_handle, 0);
    m_claimed = r == 0;
    // Not for a screen another program holds: the setting is a request to it.
    static const bool safe = alternateSettingIsSafe();
    if (safe && m_claimed)
        libusb_set_interface_alt_setting(m_handle, 0, 0);
    return r;
}

void DeviceHandle::reset()
{
    if (!m_handle)
        return;
    if (m_claimed)
        libusb_release_interface(m_handle, 0);
    libusb_close(m_handle);
    m_handle = nullptr;
    m_claimed = false;
}

} // namespace screenlink
