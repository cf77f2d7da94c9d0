#include "console.h"

#include <atomic>
#include <cerrno>
#include <csignal>

#include <poll.h>
#include <unistd.h>

namespace platform {

namespace {

std::atomic<void (*)()> g_onStop{nullptr};

void onSignal(int)
{
    if (auto handler = g_onStop.load())
        handler();
}

} // namespace

void catchStopRequests(void (*onStop)())
{
    g_onStop.store(onStop);
    struct sigaction action{};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

void setWriting(bool)
{
    // Signals only ask to stop here; nothing ends the program under a write.
}

bool outputIsTerminal()
{
    return isatty(STDOUT_FILENO) != 0;
}

std::optional<std::string> readInputLine(const std::function<bool()> &stopped, int sliceMs)
{
    std::string line;
    while (!stopped()) {
        // Slices, so that a signal just before the wait is seen soon.
        pollfd in{STDIN_FILENO, POLLIN, 0};
        const int ready = ::poll(&in, 1, sliceMs);
        if (ready < 0 && errno != EINTR)
            return std::string();
        if (ready <= 0)
            continue;
        char c = 0;
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || c == '\n')
            return line;
        line += c;
    }
    return std::nullopt;
}

} // namespace platform
