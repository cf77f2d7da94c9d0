#include "eventpump.h"

namespace session {

void EventPump::work()
{
    do {
        timeval tv{0, 100000};
        libusb_handle_events_timeout_completed(m_context->get(), &tv, nullptr);
    } while (!stopRequested());
}

} // namespace session
