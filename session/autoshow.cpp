#include "autoshow.h"

#include "bridge.h"
#include "discovery.h"
#include "eventpump.h"
#include "frameshare.h"
#include "monitorworker.h"
#include "screen.h"
#include "shownscreen.h"

#include <QDebug>

#include <algorithm>
#include <utility>

namespace session {

using namespace screenlink;

namespace {

constexpr int kDriverPauseMs = 800;

// One row per state: its key for scripts and its text for people.
struct StateWords {
    AutoState state;
    const char *key;
    const char *text;
};

constexpr StateWords kStateWords[] = {
    {AutoState::Waiting, "waiting", "waiting for the screen"},
    {AutoState::Showing, "showing", "showing the desktop"},
    {AutoState::Asleep, "asleep", "paused while the desktop sleeps"},
    {AutoState::InUse, "in-use", "in use by another program"},
    {AutoState::LetGo, "let-go", "lent to another program"},
    {AutoState::NoUsableSize, "no-size", "not shown: the screen reports no usable size"},
};

const StateWords &wordsOf(AutoState state)
{
    for (const StateWords &w : kStateWords)
        if (w.state == state)
            return w;
    return kStateWords[0];
}

} // namespace

QString autoStateKey(AutoState state)
{
    return QLatin1String(wordsOf(state).key);
}

QString autoStateText(AutoState state)
{
    return QLatin1String(wordsOf(state).text);
}

std::optional<AutoState> parseAutoState(const QString &key)
{
    for (const StateWords &w : kStateWords)
        if (key == QLatin1String(w.key))
            return w.state;
    return std::nullopt;
}

struct AutoShow::ScanResult {
    std::vector<Seen> attached; // every running screen now on the bus
    // Remembered screens opened for showing, with what they need.
    struct Opened {
        std::shared_ptr<Screen> screen;
        Seen seen;
        ScreenFacts facts;
    };
    std::vector<Opened> opened;
};

AutoShow::AutoShow(const QString &driver, QObject *parent)
    : QObject(parent), m_driver(driver), m_context(std::make_shared<UsbContext>())
{
    // Touch reports of the shown screen complete on it, and plug-ins are
    // told there.
    if (*m_context) {
        // By name, with nothing of ours crossing threads inside Qt.
        m_plugs = std::make_unique<HotplugWatch>(
            m_context->get(), [this] { QMetaObject::invokeMethod(this, "scan", Qt::QueuedConnection); });
        m_events = std::make_unique<EventPump>(m_context);
        m_events->begin();
    }
}

AutoShow::~AutoShow()
{
    for (auto &[id, shown] : m_shown)
        shown.screen->stop();
}

void AutoShow::setRemembered(const std::vector<RememberedScreen> &screens)
{
    m_remembered = screens;
    // A screen no longer remembered is let go; one whose mode changed is
    // shown again in its new mode at the next scan.
    QStringList gone;
    for (const auto &entry : m_shown) {
        const QString &id = entry.first;
        const auto kept = std::find_if(m_remembered.begin(), m_remembered.end(),
                                       [&id](const RememberedScreen &r) { return r.id == id; });
        if (kept == m_remembered.end() || kept->mode != entry.second.mode)
            gone << id;
    }
    for (const QString &id : gone)
        letShownGo(id);
    update();
}

bool AutoShow::toldOfPlugs() const
{
    return m_plugs && m_plugs->watching();
}

void AutoShow::scan()
{
    if (!*m_context)
        return;
    if (m_scanning) {
        m_scanAgain = true;
        return;
    }
    QSet<QString> wanted;
    for (const RememberedScreen &r : m_remembered)
        if (!m_letGo.count(r.id) && !m_shown.count(r.id))
            wanted << r.id;
    m_scanning = true;
    const std::shared_ptr<UsbContext> context = m_context;
    const std::map<std::pair<QString, int>, Seen> known = m_seen;
    const bool lookForIds = !m_remembered.empty();
    m_link.post<ScanResult>(
        [context, known, wanted = std::move(wanted), lookForIds]() mutable {
            ScanResult result;
            const DeviceList devices(context->get());
            for (ScreenInfo found : findScreens(devices)) {
                if (!found.running())
                    continue;
                Seen seen;
                seen.port = found.port.fullText();
                seen.address = found.address;
                if (const auto was = known.find({seen.port, seen.address}); was != known.end())
                    seen = was->second;
                const bool readIt = !seen.id.isEmpty();
                if (seen.noSize || (readIt && !wanted.contains(seen.id)) || !lookForIds) {
                    result.attached.push_back(seen);
                    continue;
                }
                std::shared_ptr<Screen> screen = openScreen(context, devices, found);
                seen.inUse = !screen && found.access == Access::InUse;
                bool whole = false;
                if (screen && seen.id.isEmpty())
                    seen.id = readDeviceId(*screen, &whole).toLower();
                if (screen && !whole && !readIt)
                    seen.id.clear(); // read again at the next scan
                if (screen && wanted.contains(seen.id)) {
                    ScreenFacts facts;
                    if (readFacts(*screen, facts)) {
                        // One screen per ID: a twin stays unopened.
                        wanted.remove(seen.id);
                        result.opened.push_back({std::move(screen), seen, facts});
                    }
                }
                result.attached.push_back(seen);
            }
            return result;
        },
        this, [this](ScanResult result) { taken(std::move(result)); });
}

void AutoShow::taken(ScanResult result)
{
    m_scanning = false;
    std::map<std::pair<QString, int>, Seen> seen;
    for (const Seen &s : result.attached)
        seen[{s.port, s.address}] = s;
    // A shown screen that left (or came back as another plug-in): its
    // monitor goes, and the screen is taken up again once it answers.
    QStringList left;
    for (const auto &[id, shown] : m_shown)
        if (!seen.count({shown.port, shown.address}))
            left << id;
    for (const QString &id : left)
        letShownGo(id);

    for (ScanResult::Opened &opened : result.opened) {
        const auto remembered = std::find_if(m_remembered.begin(), m_remembered.end(),
                                             [&](const RememberedScreen &r) { return r.id == opened.seen.id; });
        const QSize picture = opened.facts.size ? pictureFor(*opened.facts.size, opened.facts.order) : QSize();
        if (!monitor::pictureFits(int64_t(picture.width()) * 4, picture.width(), picture.height())) {
            qInfo("Screen %s at %s is not shown: it reports no usable size.", qPrintable(opened.seen.id),
                  qPrintable(opened.seen.port));
            seen[{opened.seen.port, opened.seen.address}].noSize = true;
        } else if (remembered != m_remembered.end() && !m_shown.count(remembered->id)
                   && !m_letGo.count(remembered->id)) {
            show(*remembered, std::move(opened.screen), opened.seen, picture, opened.facts);
        }
    }
    m_seen = std::move(seen);
    update();
    if (std::exchange(m_scanAgain, false))
        scan();
}

void AutoShow::show(const RememberedScreen &remembered, std::shared_ptr<Screen> screen, const Seen &where,
                    QSize picture, const ScreenFacts &facts)
{
    Shown &shown = m_shown[remembered.id];
    shown.screen = std::make_unique<ShownScreen>(kDriverPauseMs);
    shown.port = where.port;
    shown.address = where.address;
    shown.mode = remembered.mode;
    connect(&shown.screen->job(), &QThread::finished, this, &AutoShow::onJobEnded);
    shown.screen->setBacklightLevel(keptBacklight(remembered.id));
    shown.screen->start(std::move(screen), picture, facts, m_driver, modeKey(remembered.mode), screenKey(where.port));
    shown.screen->setAsleep(m_asleep);
    qInfo("Screen %s at %s shows the desktop (%s).", qPrintable(remembered.id), qPrintable(where.port),
          qPrintable(modeKey(remembered.mode)));
}

void AutoShow::letShownGo(const QString &id)
{
    const auto shown = m_shown.find(id);
    if (shown == m_shown.end())
        return;
    shown->second.screen->stop();
    qInfo("Screen %s at %s no longer shows the desktop.", qPrintable(id), qPrintable(shown->second.port));
    m_shown.erase(shown);
}

void AutoShow::onJobEnded()
{
    // A transfer failed: the screen left, or stopped answering. Its next
    // plug-in is taken up again.
    QStringList ended;
    for (const auto &[id, shown] : m_shown) {
        if (shown.screen->holds() && !shown.screen->running()) {
            m_seen.erase({shown.port, shown.address});
            ended << id;
        }
    }
    for (const QString &id : ended)
        letShownGo(id);
    if (!ended.isEmpty())
        update();
}

QString AutoShow::idFor(const QString &key) const
{
    const QString wanted = key.trimmed().toLower();
    for (const RememberedScreen &r : m_remembered)
        if (r.id == wanted)
            return r.id;
    const std::optional<PortPath> port = parsePortPath(key);
    if (!port)
        return {};
    for (const auto &[where, s] : m_seen) {
        const std::optional<PortPath> at = parsePortPath(where.first);
        if (at && at->namedBy(port->fullText()) && !s.id.isEmpty())
            return s.id;
    }
    return {};
}

bool AutoShow::letGo(const QString &key, const QString &holder)
{
    const QString id = idFor(key);
    if (id.isEmpty() || std::none_of(m_remembered.begin(), m_remembered.end(),
                                     [&](const RememberedScreen &r) { return r.id == id; }))
        return false;
    m_letGo[id] << holder;
    letShownGo(id);
    update();
    return true;
}

void AutoShow::takeBack(const QString &key, const QString &holder)
{
    const QString id = idFor(key);
    const auto held = m_letGo.find(id);
    if (held == m_letGo.end())
        return;
    held->second.remove(holder);
    if (held->second.isEmpty())
        m_letGo.erase(held);
    update();
    scan();
}

void AutoShow::holderGone(const QString &holder)
{
    for (auto it = m_letGo.begin(); it != m_letGo.end();) {
        it->second.remove(holder);
        it = it->second.isEmpty() ? m_letGo.erase(it) : std::next(it);
    }
    update();
    scan();
}

void AutoShow::setDesktopAsleep(bool asleep)
{
    if (asleep == m_asleep)
        return;
    m_asleep = asleep;
    for (auto &[id, shown] : m_shown)
        shown.screen->setAsleep(asleep);
    update();
}

std::vector<AutoScreenState> AutoShow::states() const
{
    std::vector<AutoScreenState> states;
    for (const RememberedScreen &r : m_remembered) {
        AutoScreenState s{r.id, r.mode, AutoState::Waiting, {}};
        const auto here = std::find_if(m_seen.begin(), m_seen.end(), [&](const auto &e) { return e.second.id == r.id; });
        if (here != m_seen.end())
            s.port = here->second.port;
        if (const auto shown = m_shown.find(r.id); shown != m_shown.end()) {
            s.state = m_asleep ? AutoState::Asleep : AutoState::Showing;
            s.port = shown->second.port;
        } else if (m_letGo.count(r.id)) {
            s.state = AutoState::LetGo;
        } else if (here != m_seen.end()) {
            const Seen &seen = here->second;
            s.state = seen.inUse ? AutoState::InUse : seen.noSize ? AutoState::NoUsableSize : AutoState::Waiting;
        }
        states.push_back(s);
    }
    return states;
}

void AutoShow::update()
{
    std::vector<AutoScreenState> now = states();
    const auto same = [](const AutoScreenState &a, const AutoScreenState &b) {
        return a.id == b.id && a.mode == b.mode && a.state == b.state && a.port == b.port;
    };
    if (now.size() == m_lastStates.size() && std::equal(now.begin(), now.end(), m_lastStates.begin(), same))
        return;
    m_lastStates = std::move(now);
    emit changed();
}

} // namespace session
