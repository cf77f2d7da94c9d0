#pragma once

// What the stand-in boot-loader tools share: failing with one "ERROR" line
// (the only word panelctl looks for), and finding and claiming the first
// screen with a given USB ID.
#include "devicelist.h"
#include "usbhandles.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

namespace bootloadertool {

struct Failure {
    std::string why;
};

[[noreturn]] inline void fail(const std::string &why)
{
    throw Failure{why};
}

// Opens and claims the first device with that ID; `what` names it in errors.
inline screenlink::DeviceHandle openFirst(libusb_context *ctx, screenlink::UsbId id, const std::string &what)
{
    screenlink::DeviceList list(ctx);
    if (list.error() < 0)
        fail(std::string("cannot list USB devices: ") + libusb_error_name(list.error()));
    for (libusb_device *device : list) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(device, &d) < 0 || d.idVendor != id.vendor || d.idProduct != id.product)
            continue;
        int r = 0;
        screenlink::DeviceHandle h = screenlink::DeviceHandle::open(device, &r);
        if (!h)
            fail("cannot open the " + what + ": " + libusb_error_name(r));
        r = h.claimInterface0();
        if (r < 0)
            fail("cannot claim the " + what + ": " + libusb_error_name(r));
        return h;
    }
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", id.vendor, id.product);
    fail("no " + what + " in its boot loader (USB " + text + ")");
}

// Runs the tool's command line; any failure becomes "ERROR: why" and exit 1.
// For tests, TAVRIK_TOOL_FAIL_QUIETLY=COMMAND makes COMMAND fail as the
// vendor's tools may: exit 1 and a line without the word error, the screen
// untouched.
template <typename Run>
int runMain(int argc, char *argv[], Run run)
{
    const char *quiet = std::getenv("TAVRIK_TOOL_FAIL_QUIETLY");
    if (quiet && argc > 1 && std::string(quiet) == argv[1]) {
        std::printf("Failed to open device\n");
        std::fflush(stdout);
        return 1;
    }
    try {
        return run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const Failure &f) {
        std::printf("ERROR: %s\n", f.why.c_str());
    } catch (const std::exception &e) {
        std::printf("ERROR: %s\n", e.what());
    }
    std::fflush(stdout);
    return 1;
}

} // namespace bootloadertool
