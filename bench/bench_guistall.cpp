// How long the window's event loop stalls while pictures go to a screen
// back to back, with monitor mode mirroring to the same screen meanwhile.
// Every request of the simulated screen completes some milliseconds late,
// so that a frame costs about the bus time it costs on a real screen. A
// timer asks to run every millisecond; the longest gap between two of its
// runs, less the millisecond, is the longest stall. Goal: 5 ms.
// Run under umockdev-wrapper; --quick for a short run. Ends with a failure
// when no picture or no monitor frame reached the screen: the stall of a
// loop that sent nothing measures nothing.
#include "frameshare.h"
#include "screensession.h"
#include "shownscreen.h"
#include "usb/virtualbus.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

// No such program: the bench publishes the desktop pictures itself. Its
// name is what the monitor job ends by name, so no real driver has it.
const QString kNoDriver = QStringLiteral("/nonexistent/bench-guistall-driver");
// A request's extra time: a frame (header and 768000 bytes) then takes
// about what it takes at 40 MB/s.
constexpr int kRequestDelayMs = 10;

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(double(v.size()) * p))];
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));
    const int seconds = quick ? 2 : 10;

    sim::VirtualBus bus;
    auto model = std::make_shared<sim::ScreenModel>(*sim::findPreset("6.8in-telv"), 0x51);
    bus.attach(model, 1, 4);
    session::ScreenSession screens;
    QElapsedTimer waited;
    waited.start();
    while (!screens.hasScreen() && waited.elapsed() < 10000) {
        screens.scan();
        QElapsedTimer slice;
        slice.start();
        while (slice.elapsed() < 50)
            app.processEvents(QEventLoop::AllEvents, 10);
    }
    if (!screens.hasScreen()) {
        std::fprintf(stderr, "the simulated screen was not opened\n");
        return 1;
    }
    sim::Faults slow;
    slow.delayMs = kRequestDelayMs;
    model->setFaults(slow);
    const uint64_t framesBefore = model->frameStats().framesComplete;

    // Monitor mode on the same screen, fed at 30 pictures a second.
    screens.startMonitor(kNoDriver);
    std::atomic<bool> publishing{true};
    // The open screen's own share.
    const monitor::FrameShareNames names = monitor::FrameShareNames::forScreen(session::screenKey(screens.opened().port));
    std::thread publisher([&publishing, &names] {
        std::unique_ptr<monitor::FrameShare> share;
        std::vector<uint8_t> picture(size_t(800) * 480 * 4, 0x40);
        while (publishing) {
            if (!share)
                share = monitor::openFrameShare(names);
            if (share && share->width() == 800)
                monitor::publishFrame(*share, picture.data(), 800 * 4, 480);
            std::this_thread::sleep_for(std::chrono::milliseconds(33));
        }
    });

    // Pictures back to back: the next one is asked for as soon as the last
    // one came back.
    int shown = 0;
    const QColor colours[] = {Qt::red, Qt::green, Qt::blue, Qt::white};
    const QMetaObject::Connection next =
        QObject::connect(&screens, &session::ScreenSession::pictureShown, &app, [&] {
            ++shown;
            screens.fill(colours[shown % 4]);
        });
    screens.fill(colours[0]);

    std::vector<double> gaps;
    QElapsedTimer beat;
    beat.start();
    QTimer heart;
    heart.setTimerType(Qt::PreciseTimer);
    QObject::connect(&heart, &QTimer::timeout, &app, [&] {
        gaps.push_back(double(beat.nsecsElapsed()) / 1e6);
        beat.restart();
    });
    heart.start(1);
    QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
    app.exec();
    heart.stop();
    // The picture on its way is counted once it is shown; none follows it.
    QObject::disconnect(next);
    QObject::connect(&screens, &session::ScreenSession::pictureShown, &app, [&shown] { ++shown; });
    waited.restart();
    while (screens.framesPending() && waited.elapsed() < 10000)
        app.processEvents(QEventLoop::AllEvents, 10);
    publishing = false;
    publisher.join();
    screens.stopMonitor();
    // Every complete frame is a picture or one of monitor mode's.
    const uint64_t frames = model->frameStats().framesComplete - framesBefore;
    const uint64_t monitorFrames = frames - std::min<uint64_t>(frames, uint64_t(shown));

    std::vector<double> stalls;
    stalls.reserve(gaps.size());
    for (double g : gaps)
        stalls.push_back(std::max(0.0, g - 1.0));
    const double longest = stalls.empty() ? 0 : *std::max_element(stalls.begin(), stalls.end());
    std::printf("GUI event loop while pictures go out back to back, monitor mode running (%d s, requests %d ms late):\n",
                seconds, kRequestDelayMs);
    std::printf("pictures shown: %d; monitor mode's frames at the screen: %llu\n", shown,
                static_cast<unsigned long long>(monitorFrames));
    std::printf("longest stall: %.1f ms (goal 5 ms); 99th percentile: %.2f ms; median gap: %.2f ms\n", longest,
                percentile(stalls, 0.99), percentile(gaps, 0.5));
    if (shown == 0 || monitorFrames == 0) {
        std::fprintf(stderr, "bench_guistall: delivered nothing: %s reached the screen\n",
                     shown == 0 ? "no picture" : "no frame of monitor mode");
        return 1;
    }
    return 0;
}
