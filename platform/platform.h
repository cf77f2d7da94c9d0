#pragma once

#include <QString>

// What differs between the platforms the tools run on. Windows is the
// original home of the tools; Linux is where they are built and tested.
namespace platform {

// Appended to the names of the external programs the tools start.
QString exeSuffix();

} // namespace platform
