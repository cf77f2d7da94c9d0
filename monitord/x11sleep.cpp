#include "x11sleep.h"

#include <X11/Xlib.h>
#include <X11/extensions/dpms.h>
#include <X11/extensions/scrnsaver.h>

namespace {

// DPMS changes are not told: a look this often costs one round trip.
constexpr int kPowerLookMs = 2000;

} // namespace

void X11Sleep::DisplayCloser::operator()(_XDisplay *display) const
{
    XCloseDisplay(display);
}

X11Sleep::X11Sleep(QObject *parent) : QObject(parent)
{
    m_power.setInterval(kPowerLookMs);
    connect(&m_power, &QTimer::timeout, this, &X11Sleep::lookAtPower);
}

X11Sleep::~X11Sleep() = default;

bool X11Sleep::start()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return false;
    m_display.reset(XOpenDisplay(nullptr));
    if (!m_display)
        return false;
    Display *d = m_display.get();
    int error = 0;
    bool watching = false;
    if (XScreenSaverQueryExtension(d, &m_saverEvent, &error)) {
        XScreenSaverSelectInput(d, DefaultRootWindow(d), ScreenSaverNotifyMask);
        XScreenSaverInfo *info = XScreenSaverAllocInfo();
        if (info && XScreenSaverQueryInfo(d, DefaultRootWindow(d), info))
            m_saverOn = info->state == ScreenSaverOn;
        XFree(info);
        watching = true;
    }
    int dpmsEvent = 0;
    if (DPMSQueryExtension(d, &dpmsEvent, &error) && DPMSCapable(d)) {
        m_power.start();
        watching = true;
    }
    if (!watching) {
        m_display.reset();
        return false;
    }
    XFlush(d);
    m_events = std::make_unique<QSocketNotifier>(ConnectionNumber(d), QSocketNotifier::Read);
    connect(m_events.get(), &QSocketNotifier::activated, this, &X11Sleep::readEvents);
    lookAtPower();
    judge();
    return true;
}

void X11Sleep::readEvents()
{
    Display *d = m_display.get();
    while (XPending(d)) {
        XEvent event;
        XNextEvent(d, &event);
        if (event.type == m_saverEvent + ScreenSaverNotify) {
            const auto *notify = reinterpret_cast<const XScreenSaverNotifyEvent *>(&event);
            m_saverOn = notify->state == ScreenSaverOn;
        }
    }
    judge();
}

void X11Sleep::lookAtPower()
{
    if (!m_power.isActive())
        return;
    CARD16 level = DPMSModeOn;
    BOOL enabled = False;
    m_powerOff = DPMSInfo(m_display.get(), &level, &enabled) && enabled && level != DPMSModeOn;
    judge();
}

void X11Sleep::judge()
{
    const bool blank = m_saverOn || m_powerOff;
    if (blank == m_blank)
        return;
    m_blank = blank;
    emit blanked(blank);
}
