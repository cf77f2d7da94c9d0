#pragma once

#include <functional>
#include <optional>
#include <string>

// A command-line program's terminal: being told to stop, and reading an
// answer without missing that.
namespace platform {

// From now on `onStop` is called when the user presses Ctrl-C, the terminal
// goes away or the program is asked politely to end: on Linux SIGINT,
// SIGHUP and SIGTERM (in the signal handler, so it may only touch atomics),
// on Windows Ctrl-C, Ctrl-Break and the console's closing (on a thread of
// its own; see setWriting() for the closing). Writing to a reader that went away then fails instead of ending
// the program (SIGPIPE is ignored).
void catchStopRequests(void (*onStop)());

// Whether a screen is being written now; whoever runs writes tells it so
// whenever that may have changed. Windows ends a program some seconds after
// its console closes, whatever the program does: while a write runs, the
// close holds the program for as long as Windows allows and says on
// standard error that closing now may cut the write off. On Linux a stop
// request never ends the program by itself, and this changes nothing.
void setWriting(bool writing);

// Whether standard output is a terminal that moves its cursor as the ANSI
// escape sequences say. A Windows console is switched to take them; one
// too old for that counts as none.
bool outputIsTerminal();

// One line of standard input, without its end; the text so far when the
// input ends, an empty one when it cannot be read. None as soon as
// `stopped` says so: it is asked at least every `sliceMs`.
std::optional<std::string> readInputLine(const std::function<bool()> &stopped, int sliceMs);

} // namespace platform
