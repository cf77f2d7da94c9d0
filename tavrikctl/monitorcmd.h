#pragma once

#include "commandline.h"

#include <QString>

namespace tavrikctl {

struct MonitorOutcome {
    int code = Done;
    QString out; // standard output
    QString err; // one line for standard error, empty when none
};

// `monitor --auto`, `--off` and `--list`: the remembered screens and the
// service that shows them. Opens no screen.
MonitorOutcome runMonitor(const Command &command);

} // namespace tavrikctl
