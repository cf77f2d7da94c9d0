// Figures of the emulated USB path that later performance figures are read
// against: one vendor control request, and 768000-byte frames, through the
// simulated screen and real libusb, next to a loop that only copies the same
// bytes. Run under umockdev-wrapper; --quick for a short run.
#include "devicelist.h"
#include "usb/virtualbus.h"
#include "usbhandles.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double usSince(Clock::time_point t0)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Keeps the compiler from dropping the copy loops.
volatile uint8_t g_sink;

} // namespace

int main(int argc, char **argv)
{
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const int controlRuns = quick ? 200 : 5000;
    const int frameRuns = quick ? 20 : 300;

    sim::VirtualBus bus;
    auto model = std::make_shared<sim::ScreenModel>(*sim::findPreset("6.8in-telv"));
    bus.attach(model, 1, 4);
    screenlink::UsbContext usb;
    if (!usb) {
        std::fprintf(stderr, "libusb_init failed\n");
        return 1;
    }
    screenlink::DeviceHandle handle;
    for (int tries = 0; tries < 100 && !handle; ++tries) {
        screenlink::DeviceList list(usb.get());
        for (libusb_device *dev : list) {
            libusb_device_descriptor d{};
            if (libusb_get_device_descriptor(dev, &d) == 0
                && screenlink::UsbId{d.idVendor, d.idProduct} == screenlink::kRunningScreenId)
                handle = screenlink::DeviceHandle::open(dev);
        }
    }
    if (!handle) {
        std::fprintf(stderr, "simulated screen not found (run under umockdev-wrapper)\n");
        return 1;
    }
    handle.claimInterface0();

    // One vendor control IN request: the bridge status byte.
    std::vector<double> rtt;
    uint8_t status = 0;
    for (int i = 0; i < controlRuns; ++i) {
        const auto t0 = Clock::now();
        if (libusb_control_transfer(handle.get(), 0xC0, 0xB6, 0, 0, &status, 1, 200) != 1) {
            std::fprintf(stderr, "control request failed\n");
            return 1;
        }
        rtt.push_back(usSince(t0));
    }

    // Frames: header then one bulk transfer of 768000 bytes.
    std::vector<uint8_t> frame(768000, 0x5A);
    uint8_t header[6] = {0x00, 0x2C, 0x00, 0xB8, 0x0B, 0x00};
    const auto f0 = Clock::now();
    for (int i = 0; i < frameRuns; ++i) {
        int done = 0;
        libusb_control_transfer(handle.get(), 0x40, 0xB0, 0, 0, header, 6, 100);
        if (libusb_bulk_transfer(handle.get(), 0x02, frame.data(), int(frame.size()), &done, 1000) != 0
            || done != int(frame.size())) {
            std::fprintf(stderr, "frame transfer failed\n");
            return 1;
        }
    }
    const double frameUs = usSince(f0) / frameRuns;
    if (model->frameStats().framesComplete != uint64_t(frameRuns)) {
        std::fprintf(stderr, "the screen did not receive every frame whole\n");
        return 1;
    }

    // The same bytes, only copied.
    std::vector<uint8_t> sink(768000);
    const uint8_t request[9] = {0xC0, 0xB6, 0, 0, 0, 0, 1, 0, 0};
    uint8_t small[9];
    const auto c0 = Clock::now();
    for (int i = 0; i < controlRuns * 100; ++i) {
        std::memcpy(small, request, sizeof small);
        g_sink = small[i % 9];
    }
    const double copyControlUs = usSince(c0) / (controlRuns * 100);
    const auto c1 = Clock::now();
    for (int i = 0; i < frameRuns; ++i) {
        std::memcpy(sink.data(), frame.data(), frame.size());
        g_sink = sink[size_t(i) * 997 % sink.size()];
    }
    const double copyFrameUs = usSince(c1) / frameRuns;

    std::printf("control request round trip: median %.1f us (%d requests)\n", median(rtt), controlRuns);
    std::printf("768000-byte frames:         %.1f frames/s, %.1f MB/s (%d frames)\n", 1e6 / frameUs,
                768000.0 / frameUs, frameRuns);
    std::printf("copy only, control bytes:   %.3f us\n", copyControlUs);
    std::printf("copy only, 768000 bytes:    %.1f frames/s, %.1f MB/s\n", 1e6 / copyFrameUs, 768000.0 / copyFrameUs);
    return 0;
}
