#pragma once

#include <string>

// What differs between the platforms the tools run on. Windows is the
// original home of the tools; Linux is where they are built and tested.
namespace platform {

// Appended to the names of the external programs the tools start.
std::string exeSuffix();

// The name under which the caller's own copy of the named object `base`
// lives. On Linux every user has their own (`base` and ".UID"), so that one
// user's objects are out of another's reach; on Windows the names stay
// machine-wide, as the vendor's frame driver expects them.
std::string userObjectName(const std::string &base);

#ifndef _WIN32
// The folder, with a slash at its end, where the user's named objects live:
// the runtime folder (XDG_RUNTIME_DIR) when it is a 0700 folder of the
// user's own, else /dev/shm/.
std::string userObjectFolder();
#endif

} // namespace platform
