// telvdrv: the frame driver for Linux. Makes the screen a monitor of the
// desktop (extend) or copies the whole desktop (mirror), on X11 itself and
// on Wayland through the screen-cast portal and PipeWire, and publishes
// the picture in the frame share at the size the monitor side wrote there
// whenever it changed, at most `rate` pictures a second, until it is asked
// to terminate or the program that started it ends. When there is nothing
// to share it publishes a picture saying so and ends. Exit status: 0 when
// asked to end, 1 without a share, 2 for a size that does not fit, 3 without
// a desktop to share, 4 when the share was cut short under it.
#include "desktopcapture.h"
#include "extenddesktop.h"
#include "frameshare.h"
#include "letterbox.h"
#include "message.h"
#include "monitormode.h"
#include "pipewirestream.h"
#include "screencastportal.h"
#include "testhook.h"
#include "touchchannel.h"
#include "touchforwarder.h"
#include "waylandtouch.h"
#include "x11touch.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QtGlobal>

// After Qt's headers: Xlib defines Bool and Status as macros.
#include <X11/Xlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <sys/prctl.h>
#include <unistd.h>

namespace {

// Lock-free, so safe in a handler; atomic, since on Wayland the signal may
// land on PipeWire's or D-Bus's thread while the main thread looks.
std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void onStopSignal(int)
{
    g_stop = true;
}

void catchStopSignals()
{
    struct sigaction action{};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: the pacing sleep returns at once when the signal comes.
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaction(signal, &action, nullptr);
}

constexpr long kNanosPerSecond = 1000000000L;
// The monitor side writes at least 24; a share scribbled on by someone else
// must neither stop the driver nor make it spin.
constexpr int kLowestRate = 1;
constexpr int kHighestRate = 1000;

timespec now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

int64_t nanos(const timespec &t)
{
    return int64_t(t.tv_sec) * kNanosPerSecond + t.tv_nsec;
}

timespec fromNanos(int64_t n)
{
    return {time_t(n / kNanosPerSecond), long(n % kNanosPerSecond)};
}

// Sleeps until `deadline`; false when a stop signal came first.
bool sleepUntil(int64_t deadline)
{
    const timespec t = fromNanos(deadline);
    while (!g_stop) {
        const int r = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr);
        if (r == 0)
            return !g_stop;
        if (r != EINTR)
            return false;
    }
    return false;
}

// A program that dies without ending us leaves nobody to read the share:
// its end is a terminate request too. The request covers only a death
// after it, so the parent is looked at once it is in place: the one named
// by the monitor side when it names one, else the one we had before.
// False when the parent is gone already.
bool endWithParent()
{
    const pid_t before = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    const pid_t now = getppid();
    if (qEnvironmentVariableIsSet(monitor::kParentPidVariable)) {
        bool ok = false;
        const int named = qEnvironmentVariableIntValue(monitor::kParentPidVariable, &ok);
        return ok && named == int(now);
    }
    return now == before;
}

const char kNoDesktop[] = "No desktop to share was found \u2014 start monitor mode again from a desktop session";
const char kNoPortal[] = "Screen sharing is not available on this desktop \u2014 install xdg-desktop-portal and your "
                         "desktop's portal to use this screen as a display";
const char kRefused[] = "Screen sharing was refused \u2014 start monitor mode again to choose a screen";
const char kCastEnded[] = "Screen sharing ended \u2014 start monitor mode again to share the desktop";
const char kDesktopGone[] = "The desktop went away \u2014 start monitor mode again to share it";

// The picture's size as read from the share once, at start, and checked:
// the header may change under us, and every picture is made at this size.
struct Layout {
    int width = 0;
    int height = 0;
    int stride = 0;
};

// The share and the picture's layout, for the message when the display
// server goes away: Xlib then ends the process from its handler.
monitor::FrameShare *g_share = nullptr;
Layout g_layout;

void publishMessage(monitor::FrameShare &share, const char *text, const Layout &layout)
{
    const auto [width, height, stride] = layout;
    std::vector<uint8_t> picture(size_t(stride) * size_t(height));
    telvdrv::drawMessage(QString::fromUtf8(text), picture.data(), width, height, stride);
    monitor::publishFrame(share, picture.data(), stride, height);
    std::fprintf(stderr, "telvdrv: %s\n", text);
}

int onDisplayGone(Display *)
{
    if (g_share)
        publishMessage(*g_share, kDesktopGone, g_layout);
    std::_Exit(3);
}

// A Wayland session's X server sees only the programs that use it, not the
// desktop: its picture would be black. The portal is asked instead.
bool waylandSession()
{
    const QString type = qEnvironmentVariable("XDG_SESSION_TYPE");
    if (!type.isEmpty())
        return type == QLatin1String("wayland");
    return qEnvironmentVariableIsSet("WAYLAND_DISPLAY") && !qEnvironmentVariableIsSet("DISPLAY");
}

bool shareBroken(const monitor::FrameShare &share)
{
    if (!share.broken())
        return false;
    std::fprintf(stderr, "telvdrv: the frame share was made smaller while in use; ending\n");
    return true;
}

// Publishes what `source` gives whenever it changed, at most `rate`
// pictures a second, until a stop signal (0), a broken share (4) or
// `over()` (3).
// `follow`, when given, is asked now and then whether what is shared moved;
// a picture is published after a move.
int publishChanges(telvdrv::FrameSource &source, monitor::FrameShare &share, const Layout &layout, int rate,
                   const std::function<bool()> &over, std::atomic<uint64_t> &sourceSize,
                   const std::function<bool()> &follow = {})
{
    const auto [width, height, stride] = layout;
    std::vector<uint8_t> picture(size_t(stride) * size_t(height));
    const int64_t period = kNanosPerSecond / rate;
    int64_t deadline = nanos(now());
    constexpr int64_t kFollowPeriod = kNanosPerSecond / 4;
    int64_t nextFollow = nanos(now()) + kFollowPeriod;
    while (!g_stop) {
        if (follow && nanos(now()) >= nextFollow) {
            nextFollow = nanos(now()) + kFollowPeriod;
            follow();
        }
        // Nothing is published while the desktop is still; the first
        // picture always is.
        if (!source.waitForChange(100)) {
            // Looked at while idle too: a share cut short shows on access.
            (void)share.width();
            if (shareBroken(share))
                return 4;
            if (over())
                return 3;
            continue;
        }
        if (!sleepUntil(deadline))
            break;
        const telvdrv::Picture grabbed = source.grab();
        if (!grabbed.pixels) {
            // Not asked again at once: a source that keeps failing would
            // take the whole processor.
            deadline = nanos(now()) + period;
            continue;
        }
        // Touches on the screen are placed through the letterbox of this picture.
        sourceSize = telvdrv::TouchForwarder::packSize(grabbed.width, grabbed.height);
        telvdrv::compose(grabbed, picture.data(), width, height, stride);
        // Counted from the moment of publishing: pictures are at least one
        // period apart, also after a late one.
        deadline = nanos(now()) + period;
        if (!monitor::publishFrame(share, picture.data(), stride, height) && shareBroken(share))
            return 4;
    }
    return 0;
}

// Touches go to the desktop only with a way to hand them over; until then
// nobody listens, so the program holding the screen sends none.
std::unique_ptr<telvdrv::TouchForwarder>
startTouches(const Layout &layout, const std::atomic<uint64_t> &sourceSize,
             const std::function<std::unique_ptr<telvdrv::TouchInjector>(std::string *)> &makeInjector)
{
    const telvdrv::TouchChoice choice = telvdrv::chooseTouch();
    if (!choice.problem.isEmpty())
        std::fprintf(stderr, "telvdrv: %s; touches are passed on\n", qPrintable(choice.problem));
    if (!choice.on)
        return nullptr;
    std::string why;
    std::unique_ptr<telvdrv::TouchInjector> injector = makeInjector(&why);
    std::unique_ptr<monitor::TouchReceiver> channel;
    if (injector)
        channel = monitor::TouchReceiver::open(monitor::touchChannelNameFromEnvironment(), &why);
    if (!channel) {
        std::fprintf(stderr, "telvdrv: touches on the screen are not passed on: %s\n", why.c_str());
        return nullptr;
    }
    return std::make_unique<telvdrv::TouchForwarder>(std::move(channel), std::move(injector), layout.width,
                                                     layout.height, sourceSize);
}

// The Wayland desktop through the portal: asks (once, thanks to the kept
// token), then receives the compositor's stream.
int shareWaylandDesktop(monitor::FrameShare &share, const Layout &layout, int rate, telvdrv::MonitorMode mode)
{
    // Fonts for the messages and the session bus need it; kept to the end.
    const std::unique_ptr<QGuiApplication> app = telvdrv::ensureApplication();
    // A token per mode: a portal restores only what it was asked for again
    // (GNOME's a virtual monitor only in extend, a real one only in mirror)
    // and asks anew otherwise, so a user switching modes would be asked at
    // every switch. And one per screen, so that a second screen never takes
    // the first's grant.
    const bool extend = mode == telvdrv::MonitorMode::Extend;
    const QString key = qEnvironmentVariable(monitor::kScreenKeyVariable);
    const QString suffix = (key.isEmpty() ? QString() : QLatin1Char('-') + key)
                           + (extend ? QString() : QStringLiteral("-mirror"));
    telvdrv::ScreenCastPortal portal(telvdrv::configFolder() + QLatin1String("/screencast-token") + suffix,
                                     telvdrv::configFolder() + QLatin1String("/remotedesktop-token") + suffix);
    // Touches are asked for with the cast: one dialog for both.
    const telvdrv::ScreenCast cast =
        portal.start(extend, telvdrv::chooseTouch().on, [] { return g_stop.load(); });
    if (!cast.detail.isEmpty())
        std::fprintf(stderr, "telvdrv: %s\n", qPrintable(cast.detail));
    switch (cast.outcome) {
    case telvdrv::ScreenCast::Outcome::Stopped:
        return 0;
    case telvdrv::ScreenCast::Outcome::Unavailable:
        publishMessage(share, kNoPortal, layout);
        return 3;
    case telvdrv::ScreenCast::Outcome::Refused:
        publishMessage(share, kRefused, layout);
        return 3;
    case telvdrv::ScreenCast::Outcome::Started:
        break;
    }
    if (extend && !cast.virtualMonitor)
        std::fprintf(stderr, "telvdrv: the portal shares a monitor, not a virtual one; showing that monitor\n");
    std::string why;
    const std::unique_ptr<telvdrv::PipeWireStream> stream =
        telvdrv::PipeWireStream::connect(cast.fd, cast.node, layout.width, layout.height, cast.virtualMonitor, &why);
    if (!stream) {
        std::fprintf(stderr, "telvdrv: %s\n", why.c_str());
        publishMessage(share, kCastEnded, layout);
        return 3;
    }
    std::atomic<uint64_t> sourceSize{0};
    const std::unique_ptr<telvdrv::TouchForwarder> touches =
        startTouches(layout, sourceSize, [&](std::string *refused) {
            return telvdrv::waylandTouch(cast, portal, QSize(layout.width, layout.height), refused);
        });
    const int status = publishChanges(
        *stream, share, layout, rate,
        [&portal, &stream] {
            // The portal's Closed signal arrives through Qt's events.
            QCoreApplication::processEvents();
            return portal.closed() || stream->ended();
        },
        sourceSize);
    if (status == 3)
        publishMessage(share, kCastEnded, layout);
    return status;
}

} // namespace

int main()
{
    catchStopSignals();
    if (!endWithParent()) {
        std::fprintf(stderr, "telvdrv: the program that started it has ended; ending too\n");
        return 0;
    }

    QString why;
    std::unique_ptr<monitor::FrameShare> share = monitor::openFrameShare(monitor::FrameShareNames::fromEnvironment(), &why);
    if (!share) {
        std::fprintf(stderr, "telvdrv: %s\n",
                     why.isEmpty() ? "cannot open the frame share" : why.toLocal8Bit().constData());
        return 1;
    }
    const int width = share->width();
    const int height = share->height();
    const int rate = std::clamp(share->rate(), kLowestRate, kHighestRate);
    if (shareBroken(*share))
        return 4;
    const int stride = telvdrv::chooseStride(width, height, int64_t(monitor::kPixelAreaSize));
    if (!monitor::pictureFits(stride, width, height)) {
        std::fprintf(stderr, "telvdrv: the frame share asks for %dx%d, which does not fit\n", width, height);
        return 2;
    }
    const Layout layout{width, height, stride};
    telvdrv::reached("size-read");

    const telvdrv::ModeChoice mode = telvdrv::chooseMonitorMode();
    if (!mode.problem.isEmpty())
        std::fprintf(stderr, "telvdrv: %s; extending\n", qPrintable(mode.problem));
    if (waylandSession())
        return shareWaylandDesktop(*share, layout, rate, mode.mode);
    // Whatever the mode: a desktop left grown by a killed driver would keep
    // a monitor that nothing shows.
    const std::string key = qEnvironmentVariable(monitor::kScreenKeyVariable).toStdString();
    telvdrv::ExtendedDesktop::putBackLeftOver(nullptr, key);
    std::unique_ptr<telvdrv::DesktopCapture> desktop = telvdrv::DesktopCapture::open();
    if (!desktop) {
        publishMessage(*share, kNoDesktop, layout);
        return 3;
    }
    g_share = share.get();
    g_layout = layout;
    XSetIOErrorHandler(onDisplayGone);

    // Declared after the capture: the desktop gets its size back before the
    // capture's connection closes.
    std::unique_ptr<telvdrv::ExtendedDesktop> extended;
    if (mode.mode == telvdrv::MonitorMode::Extend) {
        std::string refused;
        extended = telvdrv::ExtendedDesktop::add(width, height, &refused, nullptr, key);
        if (extended)
            desktop->captureArea(extended->area());
        else
            std::fprintf(stderr, "telvdrv: cannot extend the desktop (%s); mirroring it instead\n", refused.c_str());
    }

    // Known before the first picture: touches that come first land too.
    std::atomic<uint64_t> sourceSize{telvdrv::TouchForwarder::packSize(desktop->width(), desktop->height())};
    const bool pointerBack = telvdrv::chooseTouch().pointerBack;
    const telvdrv::Area shown = extended ? extended->area() : telvdrv::Area{};
    // Declared after the monitor: a finger still down is lifted while the
    // monitor is there.
    telvdrv::X11Touch *x11Touch = nullptr; // owned by `touches`
    const std::unique_ptr<telvdrv::TouchForwarder> touches =
        startTouches(layout, sourceSize, [&](std::string *refused) -> std::unique_ptr<telvdrv::TouchInjector> {
            auto injector = telvdrv::X11Touch::open(shown.x, shown.y, pointerBack, refused);
            x11Touch = injector.get();
            return injector;
        });
    if (!touches)
        x11Touch = nullptr; // it went when no channel could be had
    // Another screen's monitor going moves ours left: the capture and the
    // touches go with it.
    const auto follow = [&] {
        if (!extended || !extended->follow())
            return false;
        const telvdrv::Area moved = extended->area();
        desktop->captureArea(moved);
        if (x11Touch)
            x11Touch->setOrigin(moved.x, moved.y);
        return true;
    };
    const int status = publishChanges(*desktop, *share, layout, rate, [] { return false; }, sourceSize, follow);
    g_share = nullptr;
    return status;
}
