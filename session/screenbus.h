#pragma once

#include "openscreen.h"
#include "screeninfo.h"
#include "usbhandles.h"

#include <QString>

#include <functional>
#include <memory>
#include <vector>

namespace session {

// The screens on the bus for a program without a window: what is attached,
// and each screen opened for the job asked of it. Blocking calls; a screen
// may be opened on any thread.
class ScreenBus {
public:
    ScreenBus();

    // Whether USB can be used at all; error() says why not.
    bool usable() const { return static_cast<bool>(*m_context); }
    QString error() const;
    const std::shared_ptr<screenlink::UsbContext> &context() const { return m_context; }

    // Every screen attached, by bus and port path (the same order whatever
    // libusb's list holds). Those that `identify` picks (all when it is
    // empty) are opened and let go again, the running ones identified;
    // another program's are marked in use and sent nothing.
    std::vector<ScreenInfo> list(const std::function<bool(const ScreenInfo &)> &identify = {}) const;

    // Opens the screen `chosen` names for a job: the same plug-in at its
    // port, claimed, and for a running screen identified again and with the
    // device ID it was chosen by. Null with `why` otherwise.
    std::shared_ptr<OpenScreen> open(const ScreenInfo &chosen, QString *why) const;

private:
    std::shared_ptr<screenlink::UsbContext> m_context;
};

} // namespace session
