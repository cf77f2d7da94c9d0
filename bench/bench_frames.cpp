// Host-side cost of preparing one frame (render on the canvas, convert to
// RGB 5-6-5, turn or mirror into scan order), next to only copying the same
// bytes and to the time those bytes take on USB 2.0 high speed at 40 MB/s.
// A frame short of the picture's pixels ends the run with a failure.
#include "frameoutput.h"
#include "modeltable.h"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

template <typename F>
double medianMs(int runs, F &&f)
{
    std::vector<double> t;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = Clock::now();
        f();
        t.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

volatile uint8_t g_sink;

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const int runs = quick ? 5 : 60;

    struct Case {
        const char *name;
        uint32_t size;
        int32_t variant;
    };
    const Case cases[] = {{"800x480 (6.8in, mirrored)", 7, 6},
                          {"1280x400 (7.8in long, turned)", 0x807, 0},
                          {"800x800 (3.4in round, half turn)", 0x403, 5},
                          {"800x480 (4in portrait, turned)", 4, 7}};
    std::printf("%-36s %9s %9s %9s %9s %9s %9s\n", "frame", "render", "order", "prepare", "copy", "usb@40MB",
                "share");
    for (const Case &c : cases) {
        screenlink::ScreenGeometry g;
        screenlink::applyModelTable(g, c.size, c.variant, QStringLiteral("bench"));
        const QSize size = g.pictureSize();
        QImage picture(size, QImage::Format_ARGB32);
        picture.fill(Qt::darkCyan);
        QPainter(&picture).fillRect(QRect(QPoint(0, 0), size / 2), Qt::yellow);
        const double render = medianMs(runs, [&] {
            const QImage image = session::renderPicture(picture, size);
            g_sink = image.constBits()[0];
        });
        const QImage rendered = session::renderPicture(picture, size);
        const size_t bytes = size_t(size.width()) * size_t(size.height()) * 2;
        const session::Frame built = session::buildFrame(rendered, g);
        if (rendered.size() != size || built.count < bytes || built.buffer.size() < built.count) {
            std::fprintf(stderr, "bench_frames: delivered nothing: %s made a %u-byte frame of a %zu-byte picture\n",
                         c.name, built.count, bytes);
            return 1;
        }
        const double order = medianMs(runs, [&] {
            const session::Frame f = session::buildFrame(rendered, g);
            g_sink = f.buffer[f.buffer.size() / 2];
        });
        const double prepare = render + order;
        std::vector<uint8_t> src(bytes, 1);
        std::vector<uint8_t> dst(bytes);
        const double copy = medianMs(runs, [&] {
            std::memcpy(dst.data(), src.data(), bytes);
            g_sink = dst[bytes / 3];
        });
        const double usb = double(bytes) / 40e6 * 1e3;
        std::printf("%-36s %7.2fms %7.2fms %7.2fms %7.2fms %7.2fms %8.1f%%\n", c.name, render, order, prepare, copy, usb,
                    100.0 * prepare / usb);
    }
    return 0;
}
