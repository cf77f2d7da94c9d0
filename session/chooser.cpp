#include "chooser.h"

#include "bridge.h"
#include "discovery.h"
#include "eventpump.h"
#include "frameshare.h"
#include "shownscreen.h"
#include "screen.h"

#include <QDebug>

#include <algorithm>
#include <functional>
#include <optional>
#include <vector>

namespace session {

using namespace screenlink;

namespace {

constexpr int kDriverPauseMs = 800;

// Opens each running screen in the bus's order and reads its device ID; the
// first one `take` accepts is returned open, every other is closed. A
// screen another program (or this one) holds is only named to `inUse`:
// nothing is sent to it.
std::shared_ptr<Screen> walkScreens(const std::shared_ptr<UsbContext> &context,
                                    const std::function<bool(const QString &id, const ScreenInfo &)> &take,
                                    const std::function<void(const ScreenInfo &)> &inUse = {})
{
    const DeviceList devices(context->get());
    for (ScreenInfo found : findScreens(devices)) {
        if (!found.running())
            continue;
        std::shared_ptr<Screen> screen = openScreen(context, devices, found);
        if (!screen && found.access == Access::InUse && inUse)
            inUse(found);
        bool whole = false;
        if (screen && take(readDeviceId(*screen, &whole), found) && whole)
            return screen;
    }
    return nullptr;
}

struct Opened {
    std::shared_ptr<Screen> screen;
    QString port;
    ScreenFacts facts;
};

} // namespace

ScreenChooser::ScreenChooser(QObject *parent) : QObject(parent), m_context(std::make_shared<UsbContext>())
{
    // Touch reports of the chosen screens complete on it.
    if (*m_context) {
        m_events = std::make_unique<EventPump>(m_context);
        m_events->begin();
    }
}

ScreenChooser::~ScreenChooser()
{
    stopAll();
}

void ScreenChooser::refresh()
{
    const std::shared_ptr<UsbContext> context = m_context;
    m_link.post<std::pair<QStringList, QStringList>>(
        [context] {
            QStringList ids;
            QStringList inUse;
            walkScreens(
                context,
                [&ids](const QString &id, const ScreenInfo &) {
                    ids << id;
                    return false;
                },
                [&inUse](const ScreenInfo &s) { inUse << s.port.fullText(); });
            return std::pair(ids, inUse);
        },
        this, [this](std::pair<QStringList, QStringList> found) {
            // Ours are listed by their IDs, to be stopped.
            for (const auto &[id, shown] : m_shown) {
                if (found.second.removeAll(shown.port) > 0 && !found.first.contains(id))
                    found.first << id;
            }
            emit listed(found.first, found.second);
        });
}

void ScreenChooser::start(const QString &id, const QString &driver, const QString &mode)
{
    if (m_shown.count(id) || m_starting.count(id))
        return;
    const int generation = ++m_generation;
    m_starting[id] = generation;
    const std::shared_ptr<UsbContext> context = m_context;
    m_link.post<Opened>(
        [context, id] {
            Opened opened;
            opened.screen = walkScreens(context, [&](const QString &candidate, const ScreenInfo &info) {
                opened.port = info.port.fullText();
                return candidate == id;
            });
            if (opened.screen && !readFacts(*opened.screen, opened.facts))
                return Opened{}; // left while it was read
            return opened;
        },
        this, [this, id, generation, driver, mode](Opened opened) {
            const auto started = m_starting.find(id);
            if (started == m_starting.end() || started->second != generation)
                return; // stopped meanwhile: the screen closes unused
            m_starting.erase(started);
            if (!opened.screen) {
                emit chosen(id, ChooseOutcome::NotConnected);
                return;
            }
            // A screen that names no size keeps the last one.
            if (opened.facts.size)
                m_size = pictureFor(*opened.facts.size, opened.facts.order);
            // The rate divides by both, and the picture must fit the frame share.
            if (!monitor::pictureFits(int64_t(m_size.width()) * 4, m_size.width(), m_size.height())) {
                emit chosen(id, ChooseOutcome::NoUsableSize);
                return;
            }
            Shown &shown = m_shown[id];
            shown.screen = std::make_unique<ShownScreen>(kDriverPauseMs);
            shown.port = opened.port;
            shown.screen->start(std::move(opened.screen), m_size, opened.facts, driver, mode, screenKey(opened.port));
            emit chosen(id, ChooseOutcome::Started);
        });
}

void ScreenChooser::stop(const QString &id)
{
    m_starting.erase(id);
    const auto shown = m_shown.find(id);
    if (shown == m_shown.end())
        return;
    shown->second.screen->stop();
    m_shown.erase(shown);
}

void ScreenChooser::stopAll()
{
    m_starting.clear();
    for (auto &[id, shown] : m_shown)
        shown.screen->stop();
    m_shown.clear();
}

std::map<QString, QString> ScreenChooser::shownPorts() const
{
    std::map<QString, QString> ports;
    for (const auto &[id, shown] : m_shown)
        ports[id] = shown.port;
    return ports;
}

bool ScreenChooser::monitorRunning() const
{
    return std::any_of(m_shown.begin(), m_shown.end(), [](const auto &s) { return s.second.screen->running(); });
}

} // namespace session
