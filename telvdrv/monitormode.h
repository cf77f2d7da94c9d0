#pragma once

#include <QString>

// Whether the screen becomes a display of its own beside the others
// (extend) or shows a copy of the whole desktop (mirror). Both programs
// start the same driver, so the choice is made here, once.
namespace telvdrv {

enum class MonitorMode { Extend, Mirror };

struct ModeChoice {
    MonitorMode mode = MonitorMode::Extend;
    QString problem; // a value that was not understood, and where; empty when none
};

inline constexpr char kModeVariable[] = "TAVRIK_MONITOR_MODE";

// The user's tavrik config folder: $XDG_CONFIG_HOME/tavrik, or
// ~/.config/tavrik.
QString configFolder();

// The user's config file: $XDG_CONFIG_HOME/tavrik/monitor.conf, or
// ~/.config/tavrik/monitor.conf.
QString modeFilePath();

// TAVRIK_MONITOR_MODE when set, else the file's `mode` line, else extend.
// Values are "extend" and "mirror"; anything else counts as unset.
ModeChoice chooseMonitorMode();

// Whether touches on the screen are handed to the desktop (`touch`: on or
// off, on when unset) and whether the pointer goes back where it was after
// each touch (`touch_pointer`: back or stay, stay when unset).
struct TouchChoice {
    bool on = true;
    bool pointerBack = false;
    QString problem; // as for ModeChoice
};
TouchChoice chooseTouch();

} // namespace telvdrv
