#include "discovery.h"

#include "bridge.h"
#include "identify.h"
#include "monitorworker.h"
#include "requests.h"
#include "shownscreen.h"

namespace session {

using namespace screenlink;

std::vector<ScreenInfo> findScreens(const DeviceList &devices)
{
    std::vector<ScreenInfo> found;
    for (const BusDevice &d : devices.devices()) {
        if (d.kind() == DeviceKind::Other)
            continue;
        ScreenInfo info;
        info.port = d.port;
        info.address = d.address;
        info.scanIndex = int(d.index);
        info.kind = d.kind();
        found.push_back(std::move(info));
    }
    return found;
}

std::shared_ptr<Screen> openScreen(const std::shared_ptr<UsbContext> &context, const DeviceList &devices,
                                   ScreenInfo &info)
{
    libusb_device *device = devices.find(info.port, info.address);
    if (!device) {
        info.access = Access::CannotOpen;
        return nullptr;
    }
    OpenFailure why = OpenFailure::None;
    std::shared_ptr<Screen> screen = Screen::open(context, device, &why);
    if (screen && screen->usbId() != info.usbId()) {
        // Another kind of device came up at the port meanwhile.
        screen.reset();
        why = OpenFailure::CannotOpen;
    }
    info.access = screen ? Access::Open : why == OpenFailure::InUse ? Access::InUse : Access::CannotOpen;
    info.showingDesktop = info.access == Access::InUse && MonitorWorker::showingElsewhere(screenKey(info.port));
    return screen;
}

bool identify(Screen &screen, ScreenInfo &info)
{
    info.identification = identifyScreen(screen, info.geometry, &info.identString);
    // A busy bus can let one read time out; a screen that never answers
    // keeps the zeros.
    bool whole = false;
    for (int tries = 0; tries < 3 && !whole; ++tries)
        info.deviceId = readDeviceId(screen, &whole);
    info.firmwareMinor = firmwareMinor(info.identification);
    // A read cut short by the unplug answers nothing; one the screen
    // answered before it left was still the screen's.
    return screen.stillOnBus();
}

void probe(const std::shared_ptr<UsbContext> &context, const DeviceList &devices, ScreenInfo &info)
{
    const std::shared_ptr<Screen> screen = openScreen(context, devices, info);
    if (screen && info.running()) {
        // Its own copy of the geometry: listing never changes the open
        // screen's record.
        info.geometry = {};
        if (!identify(*screen, info))
            info.access = Access::CannotOpen; // gone meanwhile
    }
}

std::optional<QSize> readScreenSize(Screen &screen)
{
    uint8_t text[128] = {};
    screen.readIdentString(text);
    const char *chars = reinterpret_cast<const char *>(text);
    return screenSizeFromInformation(QString::fromUtf8(chars, qsizetype(qstrnlen(chars, kIdentLength))));
}

} // namespace session
