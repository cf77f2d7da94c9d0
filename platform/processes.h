#pragma once

#include <QList>
#include <QString>

// Finding and ending other programs by the name of their executable file
// ("image name"): how the tools end every running frame driver, whoever
// started it.
namespace platform {

// Processes whose executable file is called `imageName` (with the
// platform's suffix, see exeSuffix()). Only processes whose executable the
// caller may look at are found; the caller itself never is.
QList<qint64> findProcesses(const QString &imageName);

// Forcibly ends every process found by that name together with all its
// descendants. Returns at once; the processes may still be going away.
void endProcessTrees(const QString &imageName);

} // namespace platform
