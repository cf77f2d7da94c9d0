// A stand-in frame driver for tests that need no X display: publishes one
// known picture (monitortest::pattern, seed 5) at the size and rate the
// frame share asks for, with rows padded past width x 4, until terminated;
// with FAKEDRIVER_STILL set, only once.
#include "frameshare.h"
#include "monitortestsupport.h"

#include <chrono>
#include <QtGlobal>

#include <csignal>
#include <cstdio>
#include <thread>

namespace {

volatile std::sig_atomic_t g_stop = 0;

void onTerm(int)
{
    g_stop = 1;
}

} // namespace

int main()
{
    struct sigaction action{};
    action.sa_handler = onTerm;
    sigaction(SIGTERM, &action, nullptr);

    auto share = monitor::openFrameShare(monitor::FrameShareNames::fromEnvironment());
    if (!share)
        return 1;
    const int width = share->width();
    const int height = share->height();
    const int rate = share->rate();
    int stride = width * 4 + 32;
    if (!monitor::pictureFits(stride, width, height))
        stride = width * 4;
    if (!monitor::pictureFits(stride, width, height) || rate <= 0) {
        std::fprintf(stderr, "fakedriver: unusable share header %dx%d at %d\n", width, height, rate);
        return 2;
    }
    const monitortest::Bytes picture = monitortest::pattern(width, height, stride, 5);
    // A still desktop: one picture, then nothing new.
    const bool once = qEnvironmentVariableIsSet("FAKEDRIVER_STILL");
    for (bool first = true; !g_stop; first = false) {
        if (first || !once)
            monitor::publishFrame(*share, picture.data(), stride, height);
        std::this_thread::sleep_for(std::chrono::microseconds(1000000 / rate));
    }
    return 0;
}
