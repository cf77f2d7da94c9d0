// How long a touch on the screen takes to act on the desktop: from the
// touch report leaving the simulated screen to the button press reaching a
// window on the extend monitor of a virtual X server, through the program's
// touch transfer, the touch channel, the real frame driver and the X
// server. Goal: under one frame period at the screen's rate. Run under
// umockdev-wrapper; --quick for a short run.
#include "frameshare.h"
#include "monitortestsupport.h"
#include "screensession.h"
#include "shownscreen.h"
#include "touchchannel.h"
#include "usb/virtualbus.h"

#include <QElapsedTimer>
#include <QGuiApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(double(v.size()) * p))];
}

// Waits for the next button event of `window` that is a press (or not);
// its arrival in milliseconds since `from`, or a negative number.
double waitForButton(monitortest::TestWindow &window, bool press, const QElapsedTimer &from)
{
    while (from.elapsed() < 5000) {
        if (const auto b = window.nextButton(); b && b->press == press)
            return double(from.nsecsElapsed()) / 1e6;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return -1;
}

template <typename Done>
bool processUntil(QGuiApplication &app, Done done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms)
        app.processEvents(QEventLoop::AllEvents, 20);
    return done();
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const int touches = app.arguments().contains(QStringLiteral("--quick")) ? 20 : 200;

    monitortest::Xvfb x;
    const QString error = x.startExtendable(QSize(1280, 1024), QSize(2080, 1024));
    if (!error.isEmpty()) {
        std::fprintf(stderr, "no X server: %s\n", qPrintable(error));
        return 1;
    }
    qputenv("DISPLAY", x.display().toLocal8Bit());
    qputenv("TAVRIK_MONITOR_MODE", "extend");

    sim::VirtualBus bus;
    auto model = std::make_shared<sim::ScreenModel>(*sim::findPreset("6.8in-telv"), 0x71);
    bus.attach(model, 1, 4);
    session::ScreenSession screens;
    const bool opened = processUntil(app, [&] {
        if (!screens.hasScreen())
            screens.scan();
        return screens.hasScreen();
    }, 10000);
    if (!opened) {
        std::fprintf(stderr, "the simulated screen was not opened\n");
        return 1;
    }
    screens.startMonitor(QStringLiteral(TELVDRV_PATH));
    // The open screen's own touch channel and share.
    const QString key = session::screenKey(screens.opened().port);
    // A lift with nothing pressed reaches a driver that listens, and does nothing.
    if (!processUntil(app, [&] {
            return monitor::TouchSender(monitor::touchChannelName(key)).send(0, 0, true) && monitortest::monitors(x.display()).size() == 2;
        }, 10000)) {
        std::fprintf(stderr, "the driver did not start taking touches\n");
        return 1;
    }
    const std::unique_ptr<monitor::FrameShare> share = monitor::openFrameShare(monitor::FrameShareNames::forScreen(key));
    const int rate = share ? share->rate() : 0;

    monitortest::TestWindow window(x.display(), QRect(1280, 0, 800, 480), 0x0000FF);
    window.listenForButtons();
    std::vector<double> latencies;
    for (int i = 0; i < touches; ++i) {
        const auto [rawX, rawY] = model->rawTouchForPicturePoint(100 + (i * 37) % 600, 50 + (i * 23) % 380);
        QElapsedTimer from;
        from.start();
        model->injectTouch(rawX, rawY, 0);
        const double pressed = waitForButton(window, true, from);
        model->injectTouch(rawX, rawY, 1);
        QElapsedTimer lift;
        lift.start();
        if (pressed < 0 || waitForButton(window, false, lift) < 0) {
            std::fprintf(stderr, "touch %d did not reach the window\n", i);
            return 1;
        }
        latencies.push_back(pressed);
    }
    screens.stopMonitor();
    processUntil(app, [&] { return !screens.monitorRunning(); }, 10000);

    const double period = rate > 0 ? 1000.0 / rate : 0;
    std::printf("touch on the glass to the press in a window on the extend monitor (X11, %d touches):\n", touches);
    std::printf("median %.2f ms, 95th percentile %.2f ms, longest %.2f ms\n", percentile(latencies, 0.5),
                percentile(latencies, 0.95), *std::max_element(latencies.begin(), latencies.end()));
    std::printf("one frame period at the screen's rate of %d pictures a second: %.1f ms (goal: under it)\n", rate,
                period);
    return 0;
}
