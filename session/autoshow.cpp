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
    {AutoState::OneAtATime, "one-at-a-time", "waiting: another is shown"},
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
    // A remembered screen opened for showing, with what it needs.
    std::shared_ptr<Screen> screen;
    Seen chosen;
    ScreenFacts facts;
};

AutoShow::AutoShow(const QString &driver, QObject *parent)
    : QObject(parent), m_driver(driver), m_context(std::make_shared<UsbContext>()),
      m_shown(std::make_unique<ShownScreen>(kDriverPauseMs, false))
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
    connect(&m_shown->job(), &QThread::finished, this, &AutoShow::onJobEnded);
}

AutoShow::~AutoShow()
{
    m_shown->stop();
}

void AutoShow::setRemembered(const std::vector<RememberedScreen> &screens)
{
    m_remembered = screens;
    // A screen no longer remembered is let go; one whose mode changed is
    // shown again in its new mode at the next scan.
    const auto shown = std::find_if(m_remembered.begin(), m_remembered.end(),
                                    [this](const RememberedScreen &r) { return r.id == m_shownId; });
    if (m_shown->holds() && (shown == m_remembered.end() || shown->mode != m_shownMode))
        letShownGo();
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
        if (!m_letGo.count(r.id))
            wanted << r.id;
    // One share per user: nothing new is opened while a screen is shown,
    // nor while another program has the share.
    if (m_shown->holds() || !m_shareHolders.isEmpty())
        wanted.clear();
    m_scanning = true;
    const std::shared_ptr<UsbContext> context = m_context;
    const std::map<std::pair<QString, int>, Seen> known = m_seen;
    const bool lookForIds = !m_remembered.empty();
    m_link.post<ScanResult>(
        [context, known, wanted, lookForIds] {
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
                if (seen.noSize || (readIt && !wanted.contains(seen.id)) || !lookForIds || result.screen) {
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
                        result.screen = std::move(screen);
                        result.chosen = seen;
                        result.facts = facts;
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
    // The shown screen left (or came back as another plug-in): its monitor
    // goes, and the screen is taken up again once it answers.
    if (m_shown->holds() && !seen.count({m_shownPort, m_shownAddress}))
        letShownGo();

    if (result.screen) {
        const auto remembered = std::find_if(m_remembered.begin(), m_remembered.end(),
                                             [&](const RememberedScreen &r) { return r.id == result.chosen.id; });
        const QSize picture = result.facts.size ? pictureFor(*result.facts.size, result.facts.order) : QSize();
        if (!monitor::pictureFits(int64_t(picture.width()) * 4, picture.width(), picture.height())) {
            qInfo("Screen %s at %s is not shown: it reports no usable size.", qPrintable(result.chosen.id),
                  qPrintable(result.chosen.port));
            seen[{result.chosen.port, result.chosen.address}].noSize = true;
        } else if (remembered != m_remembered.end() && !m_shown->holds() && !m_letGo.count(remembered->id)) {
            m_shownId = remembered->id;
            m_shownPort = result.chosen.port;
            m_shownAddress = result.chosen.address;
            m_shownMode = remembered->mode;
            m_shown->setBacklightLevel(keptBacklight(m_shownId));
            m_shown->start(std::move(result.screen), picture, result.facts, m_driver, modeKey(remembered->mode));
            m_shown->setAsleep(m_asleep);
            qInfo("Screen %s at %s shows the desktop (%s).", qPrintable(m_shownId), qPrintable(m_shownPort),
                  qPrintable(modeKey(remembered->mode)));
        }
    }
    m_seen = std::move(seen);
    update();
    if (std::exchange(m_scanAgain, false))
        scan();
}

void AutoShow::letShownGo()
{
    m_shown->stop();
    if (!m_shownId.isEmpty())
        qInfo("Screen %s at %s no longer shows the desktop.", qPrintable(m_shownId), qPrintable(m_shownPort));
    m_shownId.clear();
    m_shownPort.clear();
    m_shownAddress = 0;
}

void AutoShow::onJobEnded()
{
    // A transfer failed: the screen left, or stopped answering. Its next
    // plug-in is taken up again.
    if (m_shown->holds() && !m_shown->running()) {
        m_seen.erase({m_shownPort, m_shownAddress});
        letShownGo();
        update();
    }
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
    if (key == QLatin1String("*")) {
        m_shareHolders << holder;
        letShownGo();
        update();
        return true;
    }
    const QString id = idFor(key);
    if (id.isEmpty() || std::none_of(m_remembered.begin(), m_remembered.end(),
                                     [&](const RememberedScreen &r) { return r.id == id; }))
        return false;
    m_letGo[id] << holder;
    if (m_shownId == id)
        letShownGo();
    update();
    return true;
}

void AutoShow::takeBack(const QString &key, const QString &holder)
{
    if (key == QLatin1String("*")) {
        m_shareHolders.remove(holder);
        update();
        scan();
        return;
    }
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
    m_shareHolders.remove(holder);
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
    m_shown->setAsleep(asleep);
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
        if (m_shownId == r.id) {
            s.state = m_asleep ? AutoState::Asleep : AutoState::Showing;
            s.port = m_shownPort;
        } else if (m_letGo.count(r.id) || !m_shareHolders.isEmpty()) {
            s.state = AutoState::LetGo;
        } else if (here != m_seen.end()) {
            const Seen &seen = here->second;
            s.state = seen.inUse         ? AutoState::InUse
                      : seen.noSize      ? AutoState::NoUsableSize
                      : m_shown->holds() ? AutoState::OneAtATime
                                         : AutoState::Waiting;
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
