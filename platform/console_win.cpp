// Standard input may be the console, a pipe or a file; only the console and
// a pipe can keep a reader waiting, and each is asked in its own way whether
// something is there.
#ifdef _WIN32

#include "console.h"

#include <atomic>
#include <cstring>

#include <windows.h>

namespace platform {

namespace {

std::atomic<void (*)()> g_onStop{nullptr};

// Set while no write runs (manual reset).
HANDLE noWriteRunning()
{
    static const HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    return event;
}

void say(const char *text)
{
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD written = 0;
    if (err != nullptr && err != INVALID_HANDLE_VALUE)
        WriteFile(err, text, DWORD(std::strlen(text)), &written, nullptr);
}

BOOL WINAPI onControl(DWORD type)
{
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT)
        return FALSE;
    if (auto handler = g_onStop.load())
        handler();
    // Windows ends the program once a close's handler returns, and a few
    // seconds after the close if it does not: a write gets what is left.
    if (type == CTRL_CLOSE_EVENT && WaitForSingleObject(noWriteRunning(), 0) == WAIT_TIMEOUT) {
        say("A screen is still being written: closing now may cut its write off, leaving a screen that does "
            "not start.\r\n");
        WaitForSingleObject(noWriteRunning(), INFINITE);
    }
    return TRUE;
}

// Whether a typed key waits in the console's input. What else is queued
// there (focus, mouse, key releases) is taken away, so that the next wait
// does not wake at once for it again.
bool keyTyped(HANDLE in)
{
    INPUT_RECORD events[64];
    DWORD count = 0;
    if (!PeekConsoleInputW(in, events, 64, &count))
        return true; // let the read tell what is wrong
    for (DWORD i = 0; i < count; ++i) {
        if (events[i].EventType == KEY_EVENT && events[i].Event.KeyEvent.bKeyDown)
            return true;
    }
    ReadConsoleInputW(in, events, count, &count);
    return false;
}

// Whether the next read will not wait: something is there, or the input
// ended or failed.
bool readable(HANDLE in, DWORD type, int sliceMs)
{
    if (type == FILE_TYPE_CHAR) {
        if (WaitForSingleObject(in, DWORD(sliceMs)) != WAIT_OBJECT_0)
            return false;
        return keyTyped(in);
    }
    if (type == FILE_TYPE_PIPE) {
        DWORD available = 0;
        if (!PeekNamedPipe(in, nullptr, 0, nullptr, &available, nullptr))
            return true;
        if (available > 0)
            return true;
        Sleep(DWORD(sliceMs));
        return false;
    }
    return true;
}

} // namespace

void catchStopRequests(void (*onStop)())
{
    g_onStop.store(onStop);
    SetConsoleCtrlHandler(onControl, TRUE);
}

void setWriting(bool writing)
{
    if (writing)
        ResetEvent(noWriteRunning());
    else
        SetEvent(noWriteRunning());
}

bool outputIsTerminal()
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out == nullptr || out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode))
        return false;
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0
           || SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

std::optional<std::string> readInputLine(const std::function<bool()> &stopped, int sliceMs)
{
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (in == nullptr || in == INVALID_HANDLE_VALUE)
        return std::string();
    const DWORD type = GetFileType(in);
    std::string line;
    while (!stopped()) {
        if (!readable(in, type, sliceMs))
            continue;
        char c = 0;
        DWORD n = 0;
        if (!ReadFile(in, &c, 1, &n, nullptr)) {
            // Ctrl-C cuts a console read short before its handler has run.
            if (GetLastError() == ERROR_OPERATION_ABORTED)
                continue;
            return line;
        }
        if (n == 0)
            break;
        if (c == '\n')
            return line;
        if (c != '\r')
            line += c;
    }
    if (stopped())
        return std::nullopt;
    return line;
}

} // namespace platform

#endif
