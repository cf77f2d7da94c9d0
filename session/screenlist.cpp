#include "screenlist.h"

#include <algorithm>

namespace session {

using screenlink::DeviceKind;
using screenlink::PortPath;

QStringList ScreenList::texts() const
{
    QStringList out;
    for (const ScreenInfo &s : m_screens) {
        const QString port = s.portText(m_screens);
        if (s.access == Access::InUse)
            out << QStringLiteral("in use,-,") + port;
        else if (s.running())
            out << screenlink::listedName(s.identification) + QLatin1Char(',') + s.deviceId + QLatin1Char(',') + port;
        else
            out << QStringLiteral("%1,%2,%3").arg(s.scanIndex).arg(screenlink::kindWord(s.kind), port);
    }
    return out;
}

const ScreenInfo *ScreenList::currentScreen() const
{
    return m_current >= 0 && m_current < int(m_screens.size()) ? &m_screens[size_t(m_current)] : nullptr;
}

bool ScreenList::choose(int index)
{
    if (index < 0 || index >= int(m_screens.size()))
        return false;
    m_current = index;
    return true;
}

bool ScreenList::needsProbe(const ScreenInfo &found, const PortPath &stale) const
{
    if (!found.running())
        return false;
    if (stale.valid() && found.port == stale)
        return true;
    return std::none_of(m_screens.begin(), m_screens.end(), [&](const ScreenInfo &s) {
        return s.port == found.port && s.running() && s.access != Access::InUse;
    });
}

bool ScreenList::refresh(const ScreenInfo &opened)
{
    const auto at = std::find_if(m_screens.begin(), m_screens.end(), [&](const ScreenInfo &s) {
        return s.port == opened.port && s.kind == opened.kind;
    });
    if (at == m_screens.end())
        return false;
    const QStringList before = texts();
    *at = opened;
    return texts() != before;
}

ScreenList::Applied ScreenList::apply(const std::vector<ScreenInfo> &found, const PortPath &stale)
{
    const ScreenInfo *chosen = currentScreen();
    const PortPath chosenPort = chosen ? chosen->port : PortPath{};
    const QStringList before = texts();

    // Kept: still at its port as the same kind, and not to be listed afresh
    // (the chosen screen that came back, a screen in use that is free now).
    std::vector<ScreenInfo> kept;
    bool chosenGone = false;
    for (size_t i = 0; i < m_screens.size(); ++i) {
        const ScreenInfo &s = m_screens[i];
        const auto there = std::find_if(found.begin(), found.end(), [&](const ScreenInfo &f) { return f.port == s.port; });
        bool keep = there != found.end() && there->kind == s.kind;
        if (keep && s.running() && there->access != Access::NotTried)
            keep = there->access == s.access && there->deviceId == s.deviceId; // looked at again: as it is now
        if (keep && stale.valid() && s.port == stale && int(i) == m_current)
            keep = false;
        if (keep)
            kept.push_back(s);
        else if (int(i) == m_current)
            chosenGone = true;
    }
    // New: every device at a port not kept; running ones only once they
    // could be identified or are known to be another program's.
    for (const ScreenInfo &f : found) {
        const bool listed = std::any_of(kept.begin(), kept.end(), [&](const ScreenInfo &s) { return s.port == f.port; });
        if (listed)
            continue;
        if (f.running() && !f.identified() && f.access != Access::InUse)
            continue; // tried again at the next scan
        kept.push_back(f);
    }
    m_screens = std::move(kept);

    Applied applied;
    applied.changed = texts() != before;
    if (!chosenGone) {
        // The chosen entry may have moved up.
        m_current = -1;
        for (size_t i = 0; chosenPort.valid() && i < m_screens.size(); ++i)
            if (m_screens[i].port == chosenPort)
                m_current = int(i);
        if (m_current < 0 && !m_screens.empty()) {
            m_current = 0;
            applied.reselect = true;
        }
        return applied;
    }
    // The screen at the chosen port when one is there again, else the first.
    m_current = m_screens.empty() ? -1 : 0;
    for (size_t i = 0; chosenPort.valid() && i < m_screens.size(); ++i)
        if (m_screens[i].port == chosenPort)
            m_current = int(i);
    applied.reselect = true;
    applied.changed = true;
    return applied;
}

} // namespace session
