#include "screenbus.h"

#include "monitorservice.h"

#include "discovery.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace session {

using namespace screenlink;

namespace {

// Another program's look at a screen (a listing identifying it) holds it
// for a moment only; one that keeps it (monitor mode, an upgrade) is in
// use.
constexpr auto kListPatience = std::chrono::milliseconds(500);
constexpr auto kOpenPatience = std::chrono::milliseconds(2000);

// Tries `attempt` until it says it got past the other program, or for
// `patience`.
template <typename Attempt>
void whilePassingBy(std::chrono::milliseconds patience, Attempt &&attempt)
{
    const auto until = std::chrono::steady_clock::now() + patience;
    while (!attempt() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

} // namespace

ScreenBus::ScreenBus() : m_context(std::make_shared<UsbContext>()) {}

QString ScreenBus::error() const
{
    return QStringLiteral("USB cannot be used: %1").arg(QString::fromLatin1(m_context->initErrorName()));
}

std::vector<ScreenInfo> ScreenBus::list(const std::function<bool(const ScreenInfo &)> &identify) const
{
    if (!usable())
        return {};
    const DeviceList devices(m_context->get());
    std::vector<ScreenInfo> screens = findScreens(devices);
    std::sort(screens.begin(), screens.end(), [](const ScreenInfo &a, const ScreenInfo &b) { return a.port < b.port; });
    for (ScreenInfo &s : screens) {
        // Boot loaders too: one another program is writing is in use, and
        // trying the claim sends it nothing.
        if (identify && !identify(s))
            continue;
        whilePassingBy(kListPatience, [&] {
            probe(m_context, devices, s);
            return s.access != Access::InUse;
        });
    }
    return screens;
}

std::shared_ptr<OpenScreen> ScreenBus::open(const ScreenInfo &chosen, QString *why) const
{
    const auto refuse = [why](const QString &text) -> std::shared_ptr<OpenScreen> {
        if (why)
            *why = text;
        return nullptr;
    };
    if (!usable())
        return refuse(error());
    const DeviceList devices(m_context->get());
    ScreenInfo now = chosen;
    std::shared_ptr<Screen> screen;
    screen = openScreen(m_context, devices, now);
    // Shown by the monitor service: it lends it until this program ends.
    if (!screen && now.access == Access::InUse && monitorservice::letGo(now.port.fullText()))
        screen = openScreen(m_context, devices, now);
    if (!screen && now.access == Access::InUse) {
        whilePassingBy(kOpenPatience, [&] {
            screen = openScreen(m_context, devices, now);
            return now.access != Access::InUse;
        });
    }
    if (!screen) {
        if (now.access == Access::InUse)
            return refuse(QStringLiteral("is in use by another program"));
        return refuse(QStringLiteral("cannot be opened (gone, or no access to it)"));
    }
    if (now.running()) {
        now.geometry = {};
        if (!identify(*screen, now))
            return refuse(QStringLiteral("cannot be opened (gone, or no access to it)"));
        if (!chosen.deviceId.isEmpty() && now.deviceId != chosen.deviceId)
            return refuse(QStringLiteral("the screen at %1 is %2 now, not %3, the one chosen")
                              .arg(chosen.port.fullText(), now.deviceId, chosen.deviceId));
    }
    return std::make_shared<OpenScreen>(std::move(screen), std::move(now));
}

} // namespace session
