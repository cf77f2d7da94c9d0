#pragma once

#include "screeninfo.h"

#include <QStringList>

#include <vector>

namespace session {

// The screens listed, in order, and the one chosen. A scan keeps the
// screens still at their port as the same kind, drops the others and
// appends what is new; a screen that left and came back between two scans
// (the chosen one, seen by its new address) is listed afresh.
class ScreenList {
public:
    const std::vector<ScreenInfo> &screens() const { return m_screens; }
    // Each screen as the list shows it: a boot loader as its place in the
    // scan, kind word and port ("0,TELV,PHY(1.4)"); a running screen as
    // its listed name, device ID and port; one another program holds as
    // "in use,-," and its port.
    QStringList texts() const;
    int current() const { return m_current; }
    const ScreenInfo *currentScreen() const;
    // The user's choice; false when it is no entry.
    bool choose(int index);

    // Whether a scan must open and identify `found` for the list: a running
    // screen not listed as an identified running screen at its port, one
    // listed as in use (it may be free now), and the chosen one that came
    // back (`stale`).
    bool needsProbe(const ScreenInfo &found, const screenlink::PortPath &stale) const;

    struct Applied {
        bool changed = false;  // what the list shows changed
        bool reselect = false; // the chosen entry changed: the selection runs again
    };
    // Applies one scan's findings (probed screens carry their identity).
    Applied apply(const std::vector<ScreenInfo> &found, const screenlink::PortPath &stale);
    // What opening the screen at `opened`'s port found out replaces what a
    // scan listed there (a scan that met the screen leaving may have read
    // less); true when the list shows something else now.
    bool refresh(const ScreenInfo &opened);

private:
    std::vector<ScreenInfo> m_screens;
    int m_current = -1;
};

} // namespace session
