#pragma once

// For the tests only: TELVDRV_RAISE_AT="STEP:KILL" (or ":STOP") makes the
// driver send itself that signal when it reaches STEP, so that a test can
// catch it at any moment of its work, as a kill from outside could.
namespace telvdrv {

inline constexpr char kRaiseAtVariable[] = "TELVDRV_RAISE_AT";

void reached(const char *step);

} // namespace telvdrv
