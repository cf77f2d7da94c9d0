#include "screenlist.h"

#include <algorithm>

namespace session {

using screenlink::DeviceKind;

const ListEntry *ScreenList::currentEntry() const
{
    return m_current >= 0 && m_current < m_entries.size() ? &m_entries[m_current] : nullptr;
}

bool ScreenList::choose(int index)
{
    if (index < 0 || index >= m_entries.size())
        return false;
    m_current = index;
    return true;
}

bool ScreenList::needsIdentity(const FoundDevice &device, const QString &stalePort) const
{
    if (device.kind != DeviceKind::RunningScreen)
        return false;
    const QString port = device.portText();
    if (port == stalePort)
        return true;
    return std::none_of(m_entries.begin(), m_entries.end(), [&](const ListEntry &e) {
        return e.port == port && e.kind == DeviceKind::RunningScreen;
    });
}

bool ScreenList::apply(const ScanFindings &findings, const QString &stalePort)
{
    QStringList newEntries;
    for (const FoundDevice &d : findings.devices)
        newEntries << QStringLiteral("%1,%2,%3").arg(d.index).arg(screenlink::kindWord(d.kind), d.portText());

    // Entries that no longer stand for what is at their port: another kind
    // of device there now (a boot loader that runs its firmware again, or
    // the other way round), or the chosen screen that came back. Their port
    // stays pending, so they are listed afresh.
    QStringList keep;
    QStringList gone;
    for (int i = 0; i < m_entries.size(); ++i) {
        const ListEntry &e = m_entries[i];
        const QString word = screenlink::kindWord(e.kind);
        const bool changed = std::any_of(newEntries.begin(), newEntries.end(), [&](const QString &n) {
            return screenlink::entryField(n, 2) == e.port && screenlink::entryField(n, 1) != word;
        });
        if (changed || (!stalePort.isEmpty() && e.port == stalePort && i == m_current))
            gone << e.text;
        else
            keep << e.text;
    }
    gone += screenlink::matchListedEntries(keep, newEntries);

    const QString currentPort = currentEntry() ? currentEntry()->port : QString();
    const QString currentText = currentEntry() ? currentEntry()->text : QString();
    bool currentRemoved = false;
    for (const QString &text : std::as_const(gone)) {
        const auto it = std::find_if(m_entries.begin(), m_entries.end(), [&](const ListEntry &e) { return e.text == text; });
        if (it == m_entries.end())
            continue;
        currentRemoved = currentRemoved || it->text == currentText;
        m_entries.erase(it);
    }

    for (const QString &entry : std::as_const(newEntries)) {
        const QString port = screenlink::entryField(entry, 2);
        if (entry.contains(QLatin1String("TELV")))
            m_entries.append({entry, port, DeviceKind::TelvBootLoader});
        else if (entry.contains(QLatin1String("K2T")))
            m_entries.append({entry, port, DeviceKind::K2tBootLoader});
        else if (entry.contains(QLatin1String("SCREEN")) && findings.runningTexts.contains(port))
            m_entries.append({findings.runningTexts.value(port), port, DeviceKind::RunningScreen});
    }

    if (!currentRemoved) {
        // The chosen entry may have moved up.
        for (int i = 0; i < m_entries.size(); ++i)
            if (m_entries[i].text == currentText)
                m_current = i;
        if ((m_current < 0 || currentText.isEmpty()) && !m_entries.isEmpty()) {
            m_current = 0;
            return true;
        }
        return false;
    }
    // The screen at the chosen port when one is there again, else the first.
    m_current = m_entries.isEmpty() ? -1 : 0;
    for (int i = 0; i < m_entries.size(); ++i)
        if (m_entries[i].port == currentPort)
            m_current = i;
    return true;
}

} // namespace session
