#pragma once

#include <QString>

#include <optional>
#include <vector>

// The screens a user wants to be a display of the desktop whenever they are
// plugged in, each with its mode, kept by device ID in the user's
// monitor.conf beside the settings the frame driver reads.
namespace session {

enum class ShowMode { Extend, Mirror };

struct RememberedScreen {
    QString id; // device ID, lower case
    ShowMode mode = ShowMode::Extend;
};

// $XDG_CONFIG_HOME/tavrik/monitor.conf, or ~/.config/tavrik/monitor.conf.
QString monitorConfPath();

// "extend", "mirror"; and back, case and spaces aside.
QString modeKey(ShowMode mode);
std::optional<ShowMode> parseMode(const QString &text);

// The mode for a screen that has none of its own: TAVRIK_MONITOR_MODE, else
// the file's `mode` line, else extend.
ShowMode generalMode(const QString &path = monitorConfPath());

// Whether `text` has the shape of a device ID ("7e0c-0b02-1c2200f1").
bool isDeviceId(const QString &text);

// The remembered screens, by device ID. Lines that are not a device
// ID with a known mode are left out, each named in `problems`.
std::vector<RememberedScreen> rememberedScreens(const QString &path = monitorConfPath(),
                                                QStringList *problems = nullptr);

// Adds or changes one screen, or forgets it; the rest of the file stays.
// False with `why` when the file cannot be written.
bool remember(const RememberedScreen &screen, QString *why, const QString &path = monitorConfPath());
bool forget(const QString &id, QString *why, const QString &path = monitorConfPath());

// The user's state folder for what our programs keep between runs:
// $XDG_STATE_HOME/tavrik, or ~/.local/state/tavrik.
QString stateFolder();

// The backlight level last set on a screen through our programs, kept by
// device ID in the user's state folder ($XDG_STATE_HOME/tavrik, or
// ~/.local/state/tavrik), so that a screen darkened while the desktop
// slept comes back to it: the screen cannot be asked. 255 when none.
void keepBacklight(const QString &id, int level);
int keptBacklight(const QString &id);

} // namespace session
