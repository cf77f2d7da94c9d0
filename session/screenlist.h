#pragma once

#include "devicelist.h"
#include "discovery.h"

#include <QHash>
#include <QList>
#include <QString>

#include <vector>

namespace session {

// One entry of the screen list, as the list shows it: for a boot loader
// its position in the scan, kind word and port ("0,TELV,PHY(1.4)"); for a
// running screen its listed name, device ID and port.
struct ListEntry {
    QString text;
    QString port;
    screenlink::DeviceKind kind = screenlink::DeviceKind::Other;
    bool operator==(const ListEntry &) const = default;
};

// What one scan found for the list: the screens' devices, and the listed
// text of each running screen that was identified for it (by port). A
// running screen without a text could not be opened and is tried again at
// the next scan.
struct ScanFindings {
    std::vector<FoundDevice> devices;
    QHash<QString, QString> runningTexts;
};

// The screens listed, in order, and the one chosen. A scan keeps the
// entries whose port still has a device of the same kind, drops the others
// and appends what is new; the entry of a screen that left and came back
// between two scans is listed afresh.
class ScreenList {
public:
    const QList<ListEntry> &entries() const { return m_entries; }
    int current() const { return m_current; }
    const ListEntry *currentEntry() const;
    // The user's choice; false when it is no entry.
    bool choose(int index);

    // Which running screens a scan must identify for the list: those whose
    // port is not listed as a running screen yet, and `stalePort` (the
    // chosen screen that came back), when given.
    bool needsIdentity(const FoundDevice &device, const QString &stalePort) const;

    // Applies a scan. True when the chosen entry changed (it went, or the
    // first entry arrived) and so the selection must run again.
    bool apply(const ScanFindings &findings, const QString &stalePort);

private:
    QList<ListEntry> m_entries;
    int m_current = -1;
};

} // namespace session
