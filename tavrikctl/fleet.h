#pragma once

#include "screeninfo.h"

#include <QString>
#include <QStringList>

#include <vector>

// Choosing screens from the command line and printing what the bus holds.
namespace tavrikctl {

// The screens a command line chooses: those named by --screen (port, short
// or whole, or device ID), every one with `all`, or the only one attached.
// `error` says why none could be chosen.
struct Selection {
    std::vector<session::ScreenInfo> screens;
    QString error;
    bool noScreen = false; // nothing attached, or nothing matches
};
Selection select(const std::vector<session::ScreenInfo> &attached, const QStringList &wanted, bool all);

// Whether every --screen value is a port: then only those screens need to
// be opened to be listed.
bool namesOnlyPorts(const QStringList &wanted);

// How messages name a screen of `all`: its port and, when known, its device
// ID, fit for a terminal.
QString label(const session::ScreenInfo &screen, const std::vector<session::ScreenInfo> &all);

// Text a screen sent, fit for a terminal: a lying screen could otherwise
// send escape sequences to it. Control and format characters, and the
// backslash, come as \xNN or \uNNNN escapes.
QString terminalText(const QString &text);

// The list as a table and as JSON; the table's texts through terminalText().
// Ports are named as `all` (every screen attached; `screens` when empty)
// tells them apart.
QString listText(const std::vector<session::ScreenInfo> &screens, const std::vector<session::ScreenInfo> &all = {});
QString listJson(const std::vector<session::ScreenInfo> &screens, const std::vector<session::ScreenInfo> &all = {});

} // namespace tavrikctl
