// Monitor mode's figures. Per frame, for 800x480 and 1280x400: libyuv's bare
// conversion of the driver's picture; the conversion plus the frame's two
// transfers in a minimal loop woken by a semaphore; and the monitor job,
// woken by the driver's event. Both loops are timed from the signal to the
// frame complete at the screen. Then the CPU time a program
// spends with a screen open, idle and mirroring at the driver's rate; the
// program is this benchmark started again as a child (screen, touch
// transfer and event thread as panelctl has them, plus the monitor job),
// while this process publishes the pictures and runs the simulated screen.
// Run under umockdev-wrapper; --quick for a short run. Figures through the
// emulated USB are for comparing changes, not promises about hardware. A
// path that brings no frame to the screen ends the run with a failure.
#include "frameshare.h"
#include "monitorworker.h"
#include "requests.h"
#include "screen.h"
#include "simscreen.h"
#include "usb/virtualbus.h"
#include "usbhandles.h"

#include <QCoreApplication>
#include <QProcess>

#include <libyuv/convert_from_argb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <semaphore>
#include <thread>
#include <vector>

#include <sys/resource.h>

namespace {

using Clock = std::chrono::steady_clock;
using session::MonitorWorker;
constexpr int kPort = 4;
// No such program: the pictures come from here. Its file name is also
// what the job ends by name at start and stop, so it is one no real
// driver has.
const QString kNoDriver = QStringLiteral("/nonexistent/bench-monitor-driver");
// The costliest turn a landscape panel takes: a half turn, before the conversion.
constexpr screenlink::ScanOrder kPanelTurn = screenlink::ScanOrder::HalfTurn;

double usSince(Clock::time_point t0)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

// Waits up to 5 s for the screen's next complete frame after `before`.
bool frameCame(const sim::ScreenModel &model, uint64_t before)
{
    const auto until = Clock::now() + std::chrono::seconds(5);
    while (model.frameSerial() == before && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    return model.frameSerial() != before;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::vector<uint8_t> desktopPicture(int width, int height)
{
    std::vector<uint8_t> px(size_t(width) * size_t(height) * 4);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t *p = px.data() + (size_t(y) * size_t(width) + size_t(x)) * 4;
            p[0] = uint8_t(x);
            p[1] = uint8_t(y);
            p[2] = uint8_t(x ^ y);
            p[3] = 0xFF;
        }
    return px;
}

// The child: a program with the screen open as panelctl keeps it, mirroring
// or not. Prints the CPU seconds it used over `seconds` of wall time.
int runProgram(bool mirror, double seconds)
{
    auto ctx = std::make_shared<screenlink::UsbContext>();
    auto screen = openSimulatedScreen(ctx, kPort);
    if (!screen)
        return 1;
    std::atomic<bool> pumping{true};
    std::thread events([&] {
        while (pumping) {
            timeval tv{0, 100000};
            libusb_handle_events_timeout_completed(ctx->get(), &tv, nullptr);
        }
    });
    screen->startTouch([](const screenlink::TouchTransfer::Report &) {});
    MonitorWorker monitor(1000);
    if (mirror)
        monitor.begin(screen, QSize(800, 480), kPanelTurn, kNoDriver);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500)); // past the start-up
    const double cpu0 = cpuSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double cpu = cpuSeconds() - cpu0;
    std::printf("%.6f\n", cpu);
    std::fflush(stdout);
    monitor.stopAndWait(-1);
    screen->stopTouch();
    pumping = false;
    events.join();
    return 0;
}

struct FrameFigures {
    double bare = 0;
    double inline_ = 0;
    double thread = 0;
    const char *nothing = nullptr; // the path that brought no frame, if one
};

FrameFigures measureFrames(sim::ScreenModel &model, const std::shared_ptr<screenlink::Screen> &screen, int width,
                           int height, int runs)
{
    FrameFigures f;
    const std::vector<uint8_t> picture = desktopPicture(width, height);
    const int stride = width * 4;
    std::vector<uint8_t> frame(size_t(width) * size_t(height) * 2);

    std::vector<double> samples;
    for (int i = 0; i < runs * 4; ++i) {
        const auto t0 = Clock::now();
        libyuv::ARGBToRGB565Dither(picture.data(), stride, frame.data(), width * 2, nullptr, width, height);
        samples.push_back(usSince(t0));
    }
    f.bare = median(samples);

    // The same work in a minimal loop: woken by a semaphore, converts and
    // sends. Timed like the job below, from the wake-up signal to the
    // frame complete at the screen, so the two differ only in the loop.
    samples.clear();
    {
        auto header = MonitorWorker::frameHeader(width, height);
        std::binary_semaphore go{0};
        std::atomic<bool> quit{false};
        std::thread loop([&] {
            for (;;) {
                go.acquire();
                if (quit)
                    return;
                libyuv::ARGBToRGB565Dither(picture.data(), stride, frame.data(), width * 2, nullptr, width, height);
                screen->exchange([&](screenlink::Wire &w) {
                    libusb_control_transfer(w.handle(), screenlink::kRequestOut, 0xB0, 0, 0, header.data(), 6, 100);
                    return screenlink::sendBulk(w.handle(), frame.data(), int(frame.size()));
                });
            }
        });
        for (int i = 0; i < runs + 5 && !f.nothing; ++i) {
            const uint64_t before = model.frameSerial();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            const auto t0 = Clock::now();
            go.release();
            if (!frameCame(model, before))
                f.nothing = "the minimal loop's transfers";
            else if (i >= 5)
                samples.push_back(usSince(t0));
        }
        // Let the last transfer finish before the loop goes.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        quit = true;
        go.release();
        loop.join();
    }
    f.inline_ = median(samples);
    if (f.nothing)
        return f;

    // The job waits for each picture as it would for the driver's.
    MonitorWorker monitor(0);
    auto share = monitor::openFrameShare();
    if (!share) {
        f.nothing = "the frame share, which could not be opened,";
        return f;
    }
    monitor.begin(screen, QSize(width, height), kPanelTurn, kNoDriver);
    const auto sized = Clock::now() + std::chrono::seconds(5);
    while ((share->width() != width || share->height() != height) && Clock::now() < sized)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (share->width() != width || share->height() != height)
        f.nothing = "the monitor job, which never sized the frame share,";
    samples.clear();
    for (int i = 0; i < runs + 5 && !f.nothing; ++i) {
        std::memcpy(share->pixels(), picture.data(), picture.size());
        share->setStride(stride);
        const uint64_t before = model.frameSerial();
        // Let the job fall asleep in its wait, as between a driver's pictures.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const auto t0 = Clock::now();
        share->event().set();
        if (!frameCame(model, before))
            f.nothing = "the monitor job";
        else if (i >= 5)
            samples.push_back(usSince(t0));
    }
    f.thread = median(samples);
    monitor.stopAndWait(-1);
    return f;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 4 && std::strcmp(argv[1], "--program") == 0)
        return runProgram(std::strcmp(argv[2], "mirror") == 0, std::atof(argv[3]));

    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const int runs = quick ? 20 : 200;
    const double seconds = quick ? 2 : 20;

    sim::VirtualBus bus;
    auto model = std::make_shared<sim::ScreenModel>(*sim::findPreset("6.8in-telv"));
    bus.attach(model, 1, kPort);
    {
        auto ctx = std::make_shared<screenlink::UsbContext>();
        auto screen = openSimulatedScreen(ctx, kPort);
        if (!screen) {
            std::fprintf(stderr, "simulated screen not found (run under umockdev-wrapper)\n");
            return 1;
        }
        std::printf("Per frame, median of %d (microseconds):\n", runs);
        std::printf("%-9s %10s %16s %16s %9s\n", "size", "convert", "loop: conv+2 xfer", "thread wait..sent",
                    "overhead");
        for (auto [w, h] : {std::pair{800, 480}, std::pair{1280, 400}}) {
            const FrameFigures f = measureFrames(*model, screen, w, h, runs);
            if (f.nothing) {
                std::fprintf(stderr, "bench_monitor: delivered nothing: %s brought no %dx%d frame to the screen\n",
                             f.nothing, w, h);
                return 1;
            }
            std::printf("%4dx%-4d %10.0f %16.0f %16.0f %8.1f%%\n", w, h, f.bare, f.inline_, f.thread,
                        100.0 * (f.thread - f.inline_) / f.inline_);
        }
    }

    // CPU of a program with the screen open: idle, then mirroring 800x480
    // at the driver's rate (36 a second), pictures published from here.
    std::printf("\nProgram CPU over %.0f s (%% of one core):\n", seconds);
    for (const char *mode : {"idle", "mirror"}) {
        const bool mirror = std::strcmp(mode, "mirror") == 0;
        std::atomic<bool> publishing{mirror};
        std::thread publisher;
        if (mirror) {
            publisher = std::thread([&] {
                auto share = monitor::openFrameShare();
                while (publishing && (share->width() != 800 || share->height() != 480))
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                const std::vector<uint8_t> picture = desktopPicture(800, 480);
                const auto period = std::chrono::microseconds(1000000 / monitor::frameRate(800, 480));
                auto next = Clock::now();
                while (publishing) {
                    monitor::publishFrame(*share, picture.data(), 800 * 4, 480);
                    next += period;
                    std::this_thread::sleep_until(next);
                }
            });
        }
        const uint64_t framesBefore = model->frameSerial();
        QProcess program;
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program.start(QCoreApplication::applicationFilePath(),
                      {QStringLiteral("--program"), QString::fromLatin1(mode), QString::number(seconds)});
        const bool finished = program.waitForFinished(int(seconds * 1000) + 30000);
        bool number = false;
        const double cpu = program.readAllStandardOutput().trimmed().toDouble(&number);
        publishing = false;
        if (publisher.joinable())
            publisher.join();
        const uint64_t frames = model->frameSerial() - framesBefore;
        std::printf("%-7s %6.2f%%  (%.3f s CPU, %llu frames)\n", mode, 100.0 * cpu / seconds, cpu,
                    static_cast<unsigned long long>(frames));
        if (!finished || program.exitCode() != 0 || !number) {
            std::fprintf(stderr, "bench_monitor: delivered nothing: the %s program ended without its figure\n", mode);
            return 1;
        }
        // An idle program sends nothing; a mirroring one must.
        if (mirror && frames == 0) {
            std::fprintf(stderr, "bench_monitor: delivered nothing: the mirroring program sent no frame\n");
            return 1;
        }
    }
    return 0;
}
