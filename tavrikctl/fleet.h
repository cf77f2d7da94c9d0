#pragma once

#include "devicelist.h"
#include "modeltable.h"
#include "usbhandles.h"

#include <QSize>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <vector>

namespace screenlink {
class Screen;
}

namespace tavrikctl {

// One screen on the bus, as far as it tells.
struct ScreenRecord {
    QString port;               // "PHY(1.4)"
    int bus = 0;
    int portNumber = 0;
    screenlink::UsbId usbId;
    screenlink::DeviceKind kind = screenlink::DeviceKind::Other;
    // Running screens only:
    QString model;              // the panel, e.g. "TELV 6.8IN" or "PANEL-W68A"; "unknown" for no row
    QString identification;     // the model's text, as panelctl shows it
    QString identString;        // the screen's own identification string
    QString deviceId;
    QString firmware;           // the version in the identification string, e.g. "v0.18"
    QSize panel;                // in the panel's own orientation
    screenlink::ScreenGeometry geometry;
    int firmwareMinor = 0;

    bool running() const { return kind == screenlink::DeviceKind::RunningScreen; }
    // "running", "TELV boot loader", "K2T/K5TX boot loader"
    QString stateText() const;
    // "running", "telv-boot-loader", "k2t-boot-loader"
    QString stateKey() const;
    // Port and, for running screens, the device ID: how messages name it.
    QString label() const;
};

// Every screen on the bus, running ones identified (each through a handle
// of its own, closed again). With `ports`, only the screens at those ports
// are identified: screens another program is busy with are left alone.
std::vector<ScreenRecord> discover(const std::shared_ptr<screenlink::UsbContext> &context,
                                   const QStringList &ports = {});
// The port a --screen value names ("PHY(1.4)" or "1.4"); empty for a
// device ID.
QString portOf(const QString &wanted);

// The screens a command line chooses: those named by --screen (port as
// "PHY(1.4)" or "1.4", or device ID), every one with `all`, or the only one
// attached. `error` says why none could be chosen.
struct Selection {
    std::vector<ScreenRecord> screens;
    QString error;
    bool noScreen = false; // nothing attached, or nothing matches
};
Selection select(const std::vector<ScreenRecord> &attached, const QStringList &wanted, bool all);

// Opens the screen `record` names, if it is still there as it was listed.
std::shared_ptr<screenlink::Screen> openScreen(const std::shared_ptr<screenlink::UsbContext> &context,
                                               const ScreenRecord &record);

// Text a screen sent, fit for a terminal: a lying screen could otherwise
// send escape sequences to it. Control and format characters, and the
// backslash, come as \xNN or \uNNNN escapes.
QString terminalText(const QString &text);

// The list as a table and as JSON; the table's texts through terminalText().
QString listText(const std::vector<ScreenRecord> &screens);
QString listJson(const std::vector<ScreenRecord> &screens);

} // namespace tavrikctl
