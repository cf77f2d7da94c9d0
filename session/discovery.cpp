#include "discovery.h"

#include "bridge.h"
#include "identify.h"
#include "requests.h"

namespace session {

using namespace screenlink;

QString FoundDevice::portText() const
{
    return phyText(bus, port);
}

std::vector<FoundDevice> findScreens(const DeviceList &devices)
{
    std::vector<FoundDevice> found;
    for (size_t i = 0; i < devices.size(); ++i) {
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(devices[i], &desc) < 0)
            continue;
        const DeviceKind kind = deviceKind(desc.idVendor, desc.idProduct);
        if (kind == DeviceKind::Other)
            continue;
        found.push_back({int(i), kind, libusb_get_bus_number(devices[i]), libusb_get_port_number(devices[i]),
                         libusb_get_device_address(devices[i])});
    }
    return found;
}

Identity identify(Screen &screen, const ScreenGeometry &seed)
{
    Identity id;
    id.geometry = seed;
    id.identification = identifyScreen(screen, id.geometry, &id.identString);
    id.deviceId = readDeviceId(screen);
    id.firmwareMinor = firmwareMinor(id.identification);
    return id;
}

std::optional<QSize> readScreenSize(Screen &screen)
{
    uint8_t text[128] = {};
    screen.readIdentString(text);
    const char *chars = reinterpret_cast<const char *>(text);
    return screenSizeFromInformation(QString::fromUtf8(chars, qsizetype(qstrnlen(chars, kIdentLength))));
}

libusb_device *deviceAt(const DeviceList &devices, int bus, int port)
{
    for (libusb_device *device : devices)
        if (libusb_get_bus_number(device) == bus && libusb_get_port_number(device) == port)
            return device;
    return nullptr;
}

} // namespace session
