#include "desktopcapture.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>

#include <cstdio>
#include <cstring>

#include <sys/ipc.h>
#include <sys/shm.h>

namespace telvdrv {

namespace {

// X reports errors to a process-wide handler; the driver has one thread.
int g_xErrors = 0;

int countError(Display *, XErrorEvent *)
{
    ++g_xErrors;
    return 0;
}

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
        const int errorsBefore = g_xErrors;
        const bool sent = XShmAttach(display, &m_info);
        XSync(display, False);
        m_attached = sent && g_xErrors == errorsBefore;
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
    int width = 0;
    int height = 0;
    bool shmOffered = false;
    std::unique_ptr<ShmImage> shm;
    ImagePtr plain;
    std::vector<uint8_t> converted;

    void setUp()
    {
        XWindowAttributes attributes{};
        XGetWindowAttributes(display.get(), root, &attributes);
        width = attributes.width;
        height = attributes.height;
        shm.reset();
        if (shmOffered) {
            shm = std::make_unique<ShmImage>(display.get(), visual, depth, width, height);
            if (!shm->usable()) {
                shm.reset();
                shmOffered = false; // refused once, refused for good
            }
        }
    }

    // The desktop's size changes with xrandr: follow it.
    void followResize()
    {
        bool resized = false;
        while (XPending(display.get()) > 0) {
            XEvent event;
            XNextEvent(display.get(), &event);
            if (event.type == ConfigureNotify && event.xconfigure.window == root)
                resized = true;
        }
        if (resized)
            setUp();
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
    XSetErrorHandler(countError);
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
    state->setUp();
    return std::unique_ptr<DesktopCapture>(new DesktopCapture(std::move(state)));
}

Picture DesktopCapture::grab()
{
    State &s = *m_state;
    s.followResize();
    if (s.width <= 0 || s.height <= 0)
        return {};
    if (s.shm) {
        const int errorsBefore = g_xErrors;
        if (XShmGetImage(s.display.get(), s.root, s.shm->image(), 0, 0, AllPlanes) && g_xErrors == errorsBefore)
            return s.toPicture(s.shm->image());
        return {};
    }
    s.plain.reset(XGetImage(s.display.get(), s.root, 0, 0, unsigned(s.width), unsigned(s.height), AllPlanes, ZPixmap));
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
