#pragma once

#include "devicelist.h"
#include "firmwarefile.h"
#include "modeltable.h"

#include <QMetaType>
#include <QString>

#include <optional>
#include <vector>

namespace session {

// Whether a screen could be had when it was last looked at.
enum class Access {
    NotTried,   // not opened yet (boot loaders are opened only when chosen)
    Open,       // opened by us
    InUse,      // another program holds it: nothing is sent to it
    CannotOpen, // gone meanwhile, or no access to its device node
};

// Everything known about one screen on the bus: where it sits, what it is,
// whether it could be had, and what a running one says of itself. The one
// record the list, the selection, the jobs and the command line share.
struct ScreenInfo {
    screenlink::PortPath port; // the key: bus and the whole port path
    int address = 0;           // of this plug-in; a screen that came back has another
    int scanIndex = 0;         // its place in the scan's device list
    screenlink::DeviceKind kind = screenlink::DeviceKind::Other;
    Access access = Access::NotTried;
    bool showingDesktop = false; // in use by a program of ours that shows the desktop on it
    // A running screen, once identified:
    QString identification; // the model's text, as the status bar shows it
    QString identString;    // the screen's own identification string
    QString deviceId;       // "%02x%02x-%02x%02x-%02x%02x%02x%02x"
    screenlink::ScreenGeometry geometry;
    std::optional<int> firmwareMinor; // from "v0.NN" in the identification

    bool running() const { return kind == screenlink::DeviceKind::RunningScreen; }
    bool identified() const { return running() && !deviceId.isEmpty(); }
    screenlink::UsbId usbId() const { return screenlink::usbId(kind); }
    // The firmware version in the screen's own string ("v0.18"); empty
    // when it names none.
    QString firmwareVersion() const;
    // The panel as the model table names it ("TELV 6.8IN", "PANEL-W68A");
    // "unknown" for a panel no row knows.
    QString modelName() const;
    // Debug firmware keeps a log the host can read.
    bool debugFirmware() const;
    // The family the screen is upgraded as: TELV when its model says so (a
    // panel no row knows: when its identification does), or when it waits
    // in the TELV boot loader.
    fwimage::FirmwareFamily family() const;
    // "running", "TELV boot loader", "K2T/K5TX boot loader", "in use",
    // "monitor"
    QString stateText() const;
    // "running", "telv-boot-loader", "k2t-boot-loader", "in-use", "monitor"
    QString stateKey() const;
    // The port as the user reads it: short where no other of `all` shares
    // its bus and last port.
    QString portText(const std::vector<ScreenInfo> &all) const;
    // Port and, when known, device ID: how messages name the screen.
    QString label(const std::vector<ScreenInfo> &all = {}) const;
    // Whether the user's --screen value names it: a port text (short or
    // whole) or its device ID.
    bool namedBy(const QString &wanted) const;
    // The same plug-in of the same screen.
    bool samePlugIn(const ScreenInfo &o) const { return port == o.port && address == o.address; }
};

// Whether the user's text names a port ("PHY(1.4)", "1.4", "1.2.4"), not a
// device ID.
bool isPortText(const QString &text);

} // namespace session

Q_DECLARE_METATYPE(session::ScreenInfo)
