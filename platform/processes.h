#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Finding and ending other programs by the name of their executable file
// ("image name"): how the tools end the frame drivers left running, by the
// same user, before starting their own.
namespace platform {

// Processes whose executable file is called `imageName` (with the
// platform's suffix, see exeSuffix()), whoever runs them. Only processes
// whose executable the caller may look at are found; the caller itself
// never is.
std::vector<int64_t> findProcesses(const std::string &imageName);

// How long a process asked to end may take before it is killed. A frame
// driver that extended an X desktop gives it back first: with 50 windows to
// move under a window manager that took up to 0.7 s (1.7 s once) on a
// loaded two-core machine.
inline constexpr int kEndGraceMs = 4000;

// Ends every process found by that name that belongs to the caller's own
// user, together with all its descendants of that user. On Linux they are
// asked first (SIGTERM) and killed after kEndGraceMs at most; on Windows
// they are ended forcibly at once.
// Other users' processes are never touched, also not by root or an
// administrator: two users of one machine each mirror their own desktop.
// On Linux the user is the real user ID; on Windows the token's user, in
// the caller's own session. Processes killed may still be going away
// when it returns.
void endProcessTrees(const std::string &imageName);

#ifdef _WIN32
// The CreateProcess flags of a program that must finish whatever becomes of
// the console it was started from (a boot-loader tool writing a screen): a
// console of its own with no window, and a process group of its own, so
// that neither Ctrl-C, Ctrl-Break nor the console's closing reaches it.
unsigned long detachedFromConsoleFlags();
#endif

} // namespace platform
