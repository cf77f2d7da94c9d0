#pragma once

#include <X11/Xlib.h>

#include <cstdint>

// X errors are counted, never fatal: Xlib's default handler would end the
// driver over a request that failed because the desktop changed under it.
// The handler is process-wide, but each connection has a count of its own:
// the capture and the touches talk to X from different threads, and a
// touch on a window that went away must not make a grab look failed.
namespace telvdrv {

// Puts the counting handler in place; once is enough.
void countXErrors();

class XErrorScope {
public:
    // Puts the counting handler in place and notes the count.
    explicit XErrorScope(Display *display);

    // Whether a request sent on its display while it lived failed; with
    // `sync`, waits for the server's answer to all of them first.
    bool failed(bool sync = true) const;

private:
    Display *m_display;
    uint64_t m_before;
};

} // namespace telvdrv
