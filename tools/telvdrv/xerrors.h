#pragma once

#include <X11/Xlib.h>

// X errors are counted, never fatal: Xlib's default handler would end the
// driver over a request that failed because the desktop changed under it.
// The handler is process-wide; the driver talks to X from one thread.
namespace telvdrv {

// Puts the counting handler in place; once is enough.
void countXErrors();

class XErrorScope {
public:
    // Puts the counting handler in place and notes the count.
    explicit XErrorScope(Display *display);

    // Whether a request sent while it lived failed; with `sync`, waits for
    // the server's answer to all of them first.
    bool failed(bool sync = true) const;

private:
    Display *m_display;
    int m_before;
};

} // namespace telvdrv
