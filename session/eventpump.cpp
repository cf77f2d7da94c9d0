#include "eventpump.h"

namespace session {

void EventPump::work()
{
    do {
        m_context->handleEvents(100);
    } while (!stopRequested());
}

} // namespace session
