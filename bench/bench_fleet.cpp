// Many screens at once: the wall time of `tavrikctl upgrade --all` for one
// simulated TELV screen and for four, side by side. Each screen is written
// by a worker of its own; the goal is four in at most 1.3 times the time of
// one. Run under umockdev-wrapper; --quick for one run of instant screens
// only, instead of three runs of instant and of slower screens.
#include "testimages.h"
#include "usb/virtualbus.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Seconds for one upgrade of `screens` screens at once; negative on failure.
// `deviceMs`: how long each screen takes to answer a request.
double upgradeAll(int screens, const QString &firmware, int deviceMs)
{
    sim::VirtualBus bus;
    for (int i = 0; i < screens; ++i) {
        auto model = std::make_shared<sim::ScreenModel>(*sim::findPreset("6.8in-telv"), uint32_t(0x300 + i));
        sim::Faults timing;
        timing.delayMs = deviceMs;
        model->setFaults(timing);
        bus.attach(model, 1, i + 1);
    }
    QProcess p;
    const auto t0 = Clock::now();
    p.start(QStringLiteral(TAVRIKCTL_PATH), {QStringLiteral("upgrade"), firmware, QStringLiteral("--all"), QStringLiteral("--yes")});
    if (!p.waitForFinished(600000) || p.exitCode() != 0) {
        std::fprintf(stderr, "tavrikctl failed:\n%s%s\n", p.readAllStandardOutput().constData(),
                     p.readAllStandardError().constData());
        return -1;
    }
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const int runs = quick ? 1 : 3;
    QTemporaryDir dir;
    const QString firmware = dir.filePath(QStringLiteral("TELV.6d8.TAVRIK.bin"));
    QFile f(firmware);
    const testimages::Bytes image = testimages::upgradeTelvImage(30000);
    if (!f.open(QIODevice::WriteOnly)
        || f.write(reinterpret_cast<const char *>(image.data()), qint64(image.size())) != qint64(image.size())) {
        std::fprintf(stderr, "bench_fleet: cannot write %s\n", qPrintable(firmware));
        return 1;
    }
    f.close();

    // Instant screens show what the emulation itself costs: every request of
    // every screen passes umockdev's one worker thread, on two cores. Screens
    // that take 3 ms to answer each request (about what programming 48
    // bytes of flash takes a real one) show how the upgrades overlap.
    std::vector<int> latencies{0};
    if (!quick)
        latencies.push_back(3);
    std::printf("TELV upgrade with tavrikctl (30000-byte image, median of %d):\n", runs);
    for (int deviceMs : latencies) {
        std::vector<double> one;
        std::vector<double> four;
        for (int i = 0; i < runs; ++i) {
            one.push_back(upgradeAll(1, firmware, deviceMs));
            four.push_back(upgradeAll(4, firmware, deviceMs));
        }
        if (*std::min_element(one.begin(), one.end()) < 0 || *std::min_element(four.begin(), four.end()) < 0)
            return 1;
        const double a = median(one);
        const double b = median(four);
        std::printf("  screens answering in %d ms: one %6.2f s, four %6.2f s (%.2f x one; goal at most 1.30 x)\n",
                    deviceMs, a, b, b / a);
    }
    return 0;
}
