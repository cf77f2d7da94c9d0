#pragma once

#include "usbhandles.h"
#include "worker.h"

#include <memory>

namespace session {

// Pumps libusb events so that asynchronous transfers (the touch reports)
// complete. It sees a stop within one 100 ms round.
class EventPump : public Worker {
    Q_OBJECT

public:
    explicit EventPump(std::shared_ptr<screenlink::UsbContext> context) : m_context(std::move(context)) {}
    ~EventPump() override { stopAndWait(); }

    void begin() { launch(); }

protected:
    void work() override;

private:
    std::shared_ptr<screenlink::UsbContext> m_context;
};

} // namespace session
