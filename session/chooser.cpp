#include "chooser.h"

#include "bridge.h"
#include "discovery.h"
#include "eventpump.h"
#include "frameshare.h"
#include "shownscreen.h"
#include "screen.h"

#include <QDebug>

#include <functional>
#include <optional>
#include <vector>

namespace session {

using namespace screenlink;

namespace {

constexpr int kDriverPauseMs = 800;

// Opens each running screen in the bus's order and reads its device ID; the
// first one `take` accepts is returned open, every other is closed. A
// screen another program holds is only named to `inUse`: nothing is sent
// to it.
std::shared_ptr<Screen> walkScreens(const std::shared_ptr<UsbContext> &context,
                                    const std::function<bool(const QString &id)> &take,
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
        if (screen && take(readDeviceId(*screen, &whole)) && whole)
            return screen;
    }
    return nullptr;
}

struct Opened {
    std::shared_ptr<Screen> screen;
    ScreenFacts facts;
};

} // namespace

ScreenChooser::ScreenChooser(QObject *parent)
    : QObject(parent), m_context(std::make_shared<UsbContext>()), m_shown(std::make_unique<ShownScreen>(kDriverPauseMs, true))
{
    // Touch reports of the chosen screen complete on it.
    if (*m_context) {
        m_events = std::make_unique<EventPump>(m_context);
        m_events->begin();
    }
}

ScreenChooser::~ScreenChooser()
{
    stop();
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
                [&ids](const QString &id) {
                    ids << id;
                    return false;
                },
                [&inUse](const ScreenInfo &s) { inUse << s.port.fullText(); });
            return std::pair(ids, inUse);
        },
        this, [this](const std::pair<QStringList, QStringList> &found) { emit listed(found.first, found.second); });
}

void ScreenChooser::start(const QString &id, const QString &driver, const QString &mode)
{
    const int generation = ++m_generation;
    const std::shared_ptr<UsbContext> context = m_context;
    m_link.post<Opened>(
        [context, id] {
            Opened opened;
            opened.screen = walkScreens(context, [&id](const QString &candidate) { return candidate == id; });
            if (opened.screen && !readFacts(*opened.screen, opened.facts))
                return Opened{}; // left while it was read
            return opened;
        },
        this, [this, generation, driver, mode](Opened opened) {
            if (generation != m_generation)
                return; // stopped meanwhile: the screen closes unused
            if (!opened.screen) {
                emit chosen(ChooseOutcome::NotConnected);
                return;
            }
            // A screen that names no size keeps the last one.
            if (opened.facts.size)
                m_size = pictureFor(*opened.facts.size, opened.facts.order);
            // The rate divides by both, and the picture must fit the frame share.
            if (!monitor::pictureFits(int64_t(m_size.width()) * 4, m_size.width(), m_size.height())) {
                emit chosen(ChooseOutcome::NoUsableSize);
                return;
            }
            m_shown->start(std::move(opened.screen), m_size, opened.facts, driver, mode);
            emit chosen(ChooseOutcome::Started);
        });
}

void ScreenChooser::stop()
{
    ++m_generation;
    m_shown->stop();
}

bool ScreenChooser::hasChosen() const
{
    return m_shown->holds();
}

bool ScreenChooser::monitorRunning() const
{
    return m_shown->running();
}

} // namespace session
