#include "desktopcapture.h"

#include "xerrors.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>

#include <cstdio>
#include <cstring>

#include <algorithm>
#include <cerrno>

#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>

namespace telvdrv {

namespace {

struct DisplayCloser {
    void operator()(Display *d) const { XCloseDisplay(d); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

struct ImageDestroyer {
    void operator()(XImage *image) const { XDestroyImage(image); }
};
using ImagePtr = std::unique_ptr<XImage, ImageDestroyer>;

// A System V segment that the X server writes the desktop into.
class ShmImage {
public:
    ShmImage(Display *display, Visual *visual, int depth, int width, int height) : m_display(display)
    {
        m_image = XShmCreateImage(display, visual, unsigned(depth), ZPixmap, nullptr, &m_info, unsigned(width),
                                  unsigned(height));
        if (!m_image)
            return;
        m_info.shmid = shmget(IPC_PRIVATE, size_t(m_image->bytes_per_line) * size_t(m_image->height), IPC_CREAT | 0600);
        if (m_info.shmid < 0)
            return;
        void *at = shmat(m_info.shmid, nullptr, 0);
        // Marked for removal at once: it goes when both sides have detached,
        // also when the driver is killed.
        shmctl(m_info.shmid, IPC_RMID, nullptr);
        if (at == reinterpret_cast<void *>(-1)) // NOLINT(performance-no-int-to-ptr): shmat's failure value
            return;
        m_info.shmaddr = m_image->data = static_cast<char *>(at);
        m_info.readOnly = False;
        const XErrorScope errors(display);
        const bool sent = XShmAttach(display, &m_info);
        m_attached = sent && !errors.failed();
    }

    ~ShmImage()
    {
        if (m_attached) {
            XShmDetach(m_display, &m_info);
            XSync(m_display, False);
        }
        if (m_image) {
            m_image->data = nullptr; // not XDestroyImage's to free
            XDestroyImage(m_image);
        }
        if (m_info.shmaddr)
            shmdt(m_info.shmaddr);
    }

    ShmImage(const ShmImage &) = delete;
    ShmImage &operator=(const ShmImage &) = delete;

    bool usable() const { return m_attached; }
    XImage *image() const { return m_image; }

private:
    Display *m_display;
    XShmSegmentInfo m_info{};
    XImage *m_image = nullptr;
    bool m_attached = false;
};

bool isBgrx(const XImage *image)
{
    return image->bits_per_pixel == 32 && image->byte_order == LSBFirst && image->red_mask == 0xFF0000
           && image->green_mask == 0xFF00 && image->blue_mask == 0xFF;
}

// One colour channel of a pixel value, widened or narrowed to 8 bits.
uint8_t channel(unsigned long pixel, unsigned long mask)
{
    if (mask == 0)
        return 0;
    int shift = 0;
    while (!((mask >> shift) & 1))
        ++shift;
    const unsigned long max = mask >> shift;
    return uint8_t(((pixel & mask) >> shift) * 255 / max);
}

} // namespace

struct DesktopCapture::State {
    DisplayPtr display;
    Window root = 0;
    Visual *visual = nullptr;
    int depth = 0;
    bool wholeDesktop = true;
    Area wanted;  // the area asked for
    Area grabbed; // what of it the desktop holds now
    int width = 0;
    int height = 0;
    bool shmOffered = false;
    std::unique_ptr<ShmImage> shm;
    ImagePtr plain;
    std::vector<uint8_t> converted;
    int damageEvent = 0;
    Damage damage = None;
    XserverRegion parts = None;
    bool changed = true;

    ~State()
    {
        if (damage != None)
            XDamageDestroy(display.get(), damage);
        if (parts != None)
            XFixesDestroyRegion(display.get(), parts);
    }

    void setUp()
    {
        XWindowAttributes attributes{};
        XGetWindowAttributes(display.get(), root, &attributes);
        if (wholeDesktop) {
            grabbed = {0, 0, attributes.width, attributes.height};
        } else {
            // An area the desktop shrank away from gives no picture.
            const int right = std::min(wanted.x + wanted.width, attributes.width);
            const int bottom = std::min(wanted.y + wanted.height, attributes.height);
            grabbed = {wanted.x, wanted.y, std::max(0, right - wanted.x), std::max(0, bottom - wanted.y)};
        }
        width = grabbed.width;
        height = grabbed.height;
        changed = true;
        shm.reset();
        if (width <= 0 || height <= 0)
            return;
        if (shmOffered) {
            shm = std::make_unique<ShmImage>(display.get(), visual, depth, width, height);
            if (!shm->usable()) {
                shm.reset();
                shmOffered = false; // refused once, refused for good
            }
        }
    }

    bool touchesGrabbed(const XRectangle &r) const
    {
        return r.x < grabbed.x + grabbed.width && r.x + r.width > grabbed.x && r.y < grabbed.y + grabbed.height
               && r.y + r.height > grabbed.y;
    }

    // The desktop's size changes with xrandr: follow it. Damage outside the
    // grabbed area is let go.
    void takeEvents()
    {
        bool resized = false;
        while (XPending(display.get()) > 0) {
            XEvent event;
            XNextEvent(display.get(), &event);
            if (event.type == ConfigureNotify && event.xconfigure.window == root)
                resized = true;
            if (damage != None && event.type == damageEvent + XDamageNotify) {
                XDamageSubtract(display.get(), damage, None, parts);
                int count = 0;
                XRectangle *rects = XFixesFetchRegion(display.get(), parts, &count);
                for (int i = 0; i < count && !changed; ++i)
                    changed = touchesGrabbed(rects[i]);
                if (rects)
                    XFree(rects);
            }
        }
        if (resized)
            setUp();
    }

    bool waitForChange(int ms)
    {
        takeEvents();
        if (damage == None || changed) {
            changed = false;
            return true;
        }
        pollfd fd{ConnectionNumber(display.get()), POLLIN, 0};
        if (poll(&fd, 1, ms) <= 0)
            return false; // timed out, or a signal came
        takeEvents();
        const bool was = changed;
        changed = false;
        return was;
    }

    Picture toPicture(XImage *image)
    {
        if (isBgrx(image))
            return {reinterpret_cast<const uint8_t *>(image->data), image->width, image->height, image->bytes_per_line};
        // Other visuals (16-bit, swapped bytes) are rare: pixel by pixel.
        converted.resize(size_t(image->width) * size_t(image->height) * 4);
        uint8_t *out = converted.data();
        for (int y = 0; y < image->height; ++y) {
            for (int x = 0; x < image->width; ++x, out += 4) {
                const unsigned long pixel = XGetPixel(image, x, y);
                out[0] = channel(pixel, image->blue_mask);
                out[1] = channel(pixel, image->green_mask);
                out[2] = channel(pixel, image->red_mask);
                out[3] = 0xFF;
            }
        }
        return {converted.data(), image->width, image->height, image->width * 4};
    }
};

DesktopCapture::DesktopCapture(std::unique_ptr<State> state) : m_state(std::move(state)) {}

DesktopCapture::~DesktopCapture() = default;

std::unique_ptr<DesktopCapture> DesktopCapture::open(const char *display)
{
    countXErrors();
    auto state = std::make_unique<State>();
    state->display.reset(XOpenDisplay(display));
    if (!state->display)
        return nullptr;
    Display *d = state->display.get();
    const int screen = DefaultScreen(d);
    state->root = RootWindow(d, screen);
    state->visual = DefaultVisual(d, screen);
    state->depth = DefaultDepth(d, screen);
    state->shmOffered = XShmQueryExtension(d);
    XSelectInput(d, state->root, StructureNotifyMask);
    int damageError = 0;
    int fixesEvent = 0;
    int fixesError = 0;
    if (XDamageQueryExtension(d, &state->damageEvent, &damageError)
        && XFixesQueryExtension(d, &fixesEvent, &fixesError)) {
        state->damage = XDamageCreate(d, state->root, XDamageReportNonEmpty);
        state->parts = XFixesCreateRegion(d, nullptr, 0);
    }
    state->setUp();
    return std::unique_ptr<DesktopCapture>(new DesktopCapture(std::move(state)));
}

void DesktopCapture::captureArea(const Area &area)
{
    m_state->wholeDesktop = false;
    m_state->wanted = area;
    m_state->setUp();
}

bool DesktopCapture::waitForChange(int ms)
{
    return m_state->waitForChange(ms);
}

bool DesktopCapture::tracksDamage() const
{
    return m_state->damage != None;
}

Picture DesktopCapture::grab()
{
    State &s = *m_state;
    s.takeEvents();
    if (s.width <= 0 || s.height <= 0)
        return {};
    const Area &a = s.grabbed;
    if (s.shm) {
        const XErrorScope errors(s.display.get());
        if (XShmGetImage(s.display.get(), s.root, s.shm->image(), a.x, a.y, AllPlanes) && !errors.failed(false))
            return s.toPicture(s.shm->image());
        return {};
    }
    s.plain.reset(XGetImage(s.display.get(), s.root, a.x, a.y, unsigned(a.width), unsigned(a.height), AllPlanes, ZPixmap));
    if (!s.plain)
        return {};
    return s.toPicture(s.plain.get());
}

bool DesktopCapture::usesSharedMemory() const
{
    return m_state->shm != nullptr;
}

int DesktopCapture::width() const
{
    return m_state->width;
}

int DesktopCapture::height() const
{
    return m_state->height;
}

} // namespace telvdrv
