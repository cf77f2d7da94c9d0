// Wall time of a whole TELV upgrade of a running simulated screen, next to
// the least the protocol allows: the 16 erase steps' waits plus every request
// the upgrade made at the measured round-trip time of one request. Run under
// umockdev-wrapper; --quick for one upgrade instead of five.
#include "bridge.h"
#include "testimages.h"
#include "discovery.h"
#include "upgrade.h"
#include "usb/virtualbus.h"
#include "usbhandles.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <optional>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

constexpr int kEraseSteps = 16;
constexpr double kEraseWaitMs = 200;


} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const int runs = quick ? 1 : 5;

    sim::VirtualBus bus;
    auto model = std::make_shared<sim::ScreenModel>(*sim::findPreset("6.8in-telv"));
    bus.attach(model, 1, 4);
    auto usb = std::make_shared<screenlink::UsbContext>();
    std::shared_ptr<screenlink::Screen> screen;
    for (int tries = 0; tries < 100 && !screen && *usb; ++tries) {
        screenlink::DeviceList list(usb->get());
        for (libusb_device *dev : list) {
            libusb_device_descriptor d{};
            if (libusb_get_device_descriptor(dev, &d) == 0 && d.idVendor == 0xC872)
                screen = screenlink::Screen::open(usb, dev);
        }
    }
    if (!screen) {
        std::fprintf(stderr, "simulated screen not found (run under umockdev-wrapper)\n");
        return 1;
    }

    // The round trip of one request, taken over the flash reads' own mix of
    // bridge command, status and data requests.
    uint8_t chunk[screenlink::kFlashChunk];
    for (int i = 0; i < 50; ++i)
        screenlink::flashRead48(*screen, 0, chunk); // warm-up
    model->clearRequests();
    const auto r0 = Clock::now();
    for (int i = 0; i < 500; ++i) {
        if (screenlink::flashRead48(*screen, uint32_t(i * 48), chunk) < 0) {
            std::fprintf(stderr, "flash read failed\n");
            return 1;
        }
    }
    const double rttMs = msSince(r0) / double(model->requests().size());

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("TELV.6d8.TAVRIK.bin"));
    const testimages::Bytes image = testimages::upgradeTelvImage(30000);
    const QByteArray firmware(reinterpret_cast<const char *>(image.data()), qsizetype(image.size()));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(firmware) != firmware.size()) {
        std::fprintf(stderr, "cannot write the firmware file\n");
        return 1;
    }
    file.close();

    std::printf("TELV upgrade of a running screen, %zu-byte image, %d run(s)\n", image.size(), runs);
    std::printf("request round trip (mean over flash reads): %.3f ms\n", rttMs);
    // One upgrade of the screen with the file, on a worker of its own; its
    // outcome, or none when it could not start.
    const auto upgrade = [&](bool reinstall) -> std::optional<session::UpgradeOutcome> {
        session::UpgradeWorker worker;
        session::UpgradeRequest request;
        request.firmwarePath = path;
        request.firmware = firmware;
        request.screen = screen;
        request.target.kind = screenlink::DeviceKind::RunningScreen;
        request.reinstall = reinstall;
        if (!session::identify(*screen, request.target)) {
            std::fprintf(stderr, "the simulated screen left\n");
            return std::nullopt;
        }
        session::UpgradeOutcome outcome = session::UpgradeOutcome::Failed;
        QObject::connect(&worker, &session::UpgradeWorker::upgradeFinished, &worker,
                         [&outcome](const session::UpgradeResult &r) { outcome = r.outcome; }, Qt::DirectConnection);
        if (!worker.begin(std::move(request))) {
            std::fprintf(stderr, "the upgrade did not start\n");
            return std::nullopt;
        }
        worker.wait();
        return outcome;
    };
    std::vector<double> walls;
    std::vector<double> floors;
    for (int run = 0; run < runs; ++run) {
        model->clearRequests();
        const auto t0 = Clock::now();
        // Every run writes: the same image is left alone otherwise.
        const std::optional<session::UpgradeOutcome> outcome = upgrade(true);
        const double wall = msSince(t0);
        if (!outcome)
            return 1;
        if (*outcome != session::UpgradeOutcome::Done) {
            std::fprintf(stderr, "the upgrade failed\n");
            return 1;
        }
        const size_t requests = model->requests().size();
        const double floor = kEraseSteps * kEraseWaitMs + double(requests) * rttMs;
        walls.push_back(wall);
        floors.push_back(floor);
        std::printf("run %d: %zu requests, wall %.0f ms, floor %.0f ms (%.0f ms erase waits + %.0f ms requests)\n",
                    run + 1, requests, wall, floor, kEraseSteps * kEraseWaitMs, double(requests) * rttMs);
    }
    const double wall = median(walls);
    const double floor = median(floors);
    std::printf("median wall %.0f ms, floor %.0f ms, overhead %.1f %%\n", wall, floor, (wall - floor) * 100 / floor);

    // The same image once more: read and compared, nothing erased.
    const auto t0 = Clock::now();
    const std::optional<session::UpgradeOutcome> outcome = upgrade(false);
    if (outcome != session::UpgradeOutcome::Unchanged) {
        std::fprintf(stderr, "the same image was not found unchanged\n");
        return 1;
    }
    std::printf("the same image again: unchanged after %.0f ms (nothing erased)\n", msSince(t0));
    return 0;
}
