// Simulated screens reached through the real libusb, as the programs reach
// them. Runs under umockdev-wrapper.
#include "devicelist.h"
#include "usb/virtualbus.h"
#include "usbhandles.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <set>

using namespace sim;
using screenlink::DeviceHandle;
using screenlink::DeviceList;
using screenlink::Transfer;
using screenlink::UsbContext;
// The IDs the programs look for, not the simulator's own copy of them.
using screenlink::kRunningScreenId;
using screenlink::kTelvBootLoaderId;

namespace {

using Bytes = std::vector<uint8_t>;

const Preset &preset(const char *name)
{
    const Preset *p = findPreset(name);
    if (!p)
        qFatal("no preset %s", name);
    return *p;
}

struct Found {
    libusb_device_descriptor desc{};
    int bus = -1;
    int port = -1;
    int address = -1;
};

// Waits until the hot-plug thread of libusb has seen the bus change.
template <typename Pred>
bool waitForList(libusb_context *ctx, Pred pred, int ms = 3000)
{
    QElapsedTimer t;
    t.start();
    do {
        std::vector<Found> all;
        DeviceList list(ctx);
        for (libusb_device *dev : list) {
            Found f;
            libusb_get_device_descriptor(dev, &f.desc);
            f.bus = libusb_get_bus_number(dev);
            f.port = libusb_get_port_number(dev);
            f.address = libusb_get_device_address(dev);
            all.push_back(f);
        }
        if (pred(all))
            return true;
        QTest::qWait(20);
    } while (t.elapsed() < ms);
    return false;
}

bool hasAt(const std::vector<Found> &all, int bus, int port, screenlink::UsbId id)
{
    return std::any_of(all.begin(), all.end(), [&](const Found &f) {
        return f.bus == bus && f.port == port && f.desc.idVendor == id.vendor && f.desc.idProduct == id.product;
    });
}

DeviceHandle openAt(libusb_context *ctx, int bus, int port)
{
    DeviceList list(ctx);
    for (libusb_device *dev : list) {
        if (libusb_get_bus_number(dev) == bus && libusb_get_port_number(dev) == port) {
            DeviceHandle h = DeviceHandle::open(dev);
            if (h)
                h.claimInterface0();
            return h;
        }
    }
    return {};
}

int controlIn(const DeviceHandle &h, uint8_t request, Bytes &buf, unsigned timeout = 200)
{
    return libusb_control_transfer(h.get(), 0xC0, request, 0, 0, buf.data(), uint16_t(buf.size()), timeout);
}

int controlOut(const DeviceHandle &h, uint8_t request, Bytes data, unsigned timeout = 200)
{
    return libusb_control_transfer(h.get(), 0x40, request, 0, 0, data.data(), uint16_t(data.size()), timeout);
}

struct TouchCapture {
    std::atomic<int> completions = 0;
    std::atomic<int> status = -1;
    Bytes report;
};

void LIBUSB_CALL onTouch(libusb_transfer *t)
{
    auto *c = static_cast<TouchCapture *>(t->user_data);
    c->report.assign(t->buffer, t->buffer + t->actual_length);
    c->status = t->status;
    ++c->completions;
}

} // namespace

class TestUsbPath : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();

    void screensEnumerateWithTheirIdsAndPorts();
    void identificationAndConfigurationReadThroughBridge();
    void wholeFrameArrivesInOrder();
    void injectedTouchCompletesPendingInterrupt();
    void idleEventLoopSleepsInsteadOfSpinning();
    void unplugFailsPendingTransferAndLaterRequests();
    void silentScreenTimesOutAndRecovers();
    void faultyScreenStallsAndShortens();
    void rebootLeavesAndReturnsByFirmwareState();
    void manyReplugsReuseAddresses();
    void listenersThatStopReadingOrRefuseLeaveTheBusRunning();
    void hubsAndClaimsAsTheKernelKeepsThem();
    void busEndsRightAfterItsLastAnswer();

private:
    void pump(int ms);

    std::unique_ptr<VirtualBus> m_bus; // before the libusb context: it sets UMOCKDEV_DIR
    std::unique_ptr<UsbContext> m_ctx;
    std::shared_ptr<ScreenModel> m_telv;
    std::shared_ptr<ScreenModel> m_k2t;
    int m_telvSlot = -1;
    int m_k2tSlot = -1;
};

void TestUsbPath::initTestCase()
{
    QVERIFY2(qEnvironmentVariableIsSet("LD_PRELOAD"), "run under umockdev-wrapper");
    m_bus = std::make_unique<VirtualBus>();
    m_telv = std::make_shared<ScreenModel>(preset("6.8in-telv"), 0x0101);
    m_k2t = std::make_shared<ScreenModel>(preset("4in-k2t-y40"), 0x0202);
    // Ports 1 and 12 on one bus: neither may be taken for the other.
    m_telvSlot = m_bus->attach(m_telv, 1, 1);
    m_k2tSlot = m_bus->attach(m_k2t, 1, 12);
    m_ctx = std::make_unique<UsbContext>();
    QVERIFY2(*m_ctx, "libusb_init failed");
}

void TestUsbPath::cleanup()
{
    if (!m_bus)
        return;
    // Each test leaves both screens plugged in and without faults.
    for (int slot : {m_telvSlot, m_k2tSlot}) {
        m_bus->model(slot)->setFaults({});
        m_bus->plug(slot);
    }
}

void TestUsbPath::cleanupTestCase()
{
    m_ctx.reset();
    m_bus.reset();
}

void TestUsbPath::pump(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        timeval tv{0, 20000};
        libusb_handle_events_timeout_completed(m_ctx->get(), &tv, nullptr);
    }
}

void TestUsbPath::screensEnumerateWithTheirIdsAndPorts()
{
    auto bootModel = std::make_shared<ScreenModel>(preset("4in-telv"));
    bootModel->setMode(Mode::TelvBootLoader);
    const int bootSlot = m_bus->attach(bootModel, 2, 3);

    QVERIFY(waitForList(m_ctx->get(), [](const std::vector<Found> &all) {
        return hasAt(all, 1, 1, kRunningScreenId) && hasAt(all, 1, 12, kRunningScreenId)
               && hasAt(all, 2, 3, kTelvBootLoaderId);
    }));
    std::vector<Found> seen;
    waitForList(m_ctx->get(), [&](const std::vector<Found> &all) { seen = all; return true; });
    QCOMPARE(seen.size(), size_t(3));
    for (const Found &f : seen)
        QVERIFY(f.address >= 2);

    m_bus->unplug(bootSlot);
    QVERIFY(waitForList(m_ctx->get(), [](const std::vector<Found> &all) {
        return all.size() == 2 && hasAt(all, 1, 1, kRunningScreenId) && hasAt(all, 1, 12, kRunningScreenId);
    }));
}

void TestUsbPath::identificationAndConfigurationReadThroughBridge()
{
    DeviceHandle h = openAt(m_ctx->get(), 1, 1);
    QVERIFY(h);
    Bytes ident(64, 0);
    const int n = controlIn(h, 0xA0, ident);
    QCOMPARE(n, int(preset("6.8in-telv").ident.size() + 1));
    QCOMPARE(std::string(reinterpret_cast<const char *>(ident.data())), preset("6.8in-telv").ident);

    QCOMPARE(controlOut(h, 0xB5, {0x51, 0x02, 0x04, 0x1F, 0xFC}, 100), 5);
    Bytes status(1);
    QCOMPARE(controlIn(h, 0xB6, status, 100), 1);
    Bytes data(5, 0);
    QCOMPARE(controlIn(h, 0xB7, data, 100), 5);
    QCOMPARE(data[1] | data[2] << 8 | data[3] << 16 | data[4] << 24, 7);

    // The other screen answers with its own codes.
    DeviceHandle k = openAt(m_ctx->get(), 1, 12);
    QVERIFY(k);
    controlOut(k, 0xB5, {0x51, 0x02, 0x04, 0x1F, 0xFC});
    controlIn(k, 0xB6, status);
    controlIn(k, 0xB7, data);
    QCOMPARE(data[1] | data[2] << 8 | data[3] << 16 | data[4] << 24, 0x104);
}

void TestUsbPath::wholeFrameArrivesInOrder()
{
    DeviceHandle h = openAt(m_ctx->get(), 1, 1);
    QVERIFY(h);
    const uint64_t before = m_telv->frameSerial();
    Bytes frame(768000);
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = uint8_t((i * 7) ^ (i >> 9));
    QCOMPARE(controlOut(h, 0xB0, {0x00, 0x2C, 0x00, 0xB8, 0x0B, 0x00}, 100), 6);
    int transferred = 0;
    QCOMPARE(libusb_bulk_transfer(h.get(), 0x02, frame.data(), int(frame.size()), &transferred, 1000), 0);
    QCOMPARE(transferred, 768000);
    QCOMPARE(m_telv->frameSerial(), before + 1);
    QVERIFY(m_telv->lastFrame() == frame);
}

void TestUsbPath::injectedTouchCompletesPendingInterrupt()
{
    DeviceHandle h = openAt(m_ctx->get(), 1, 1);
    QVERIFY(h);
    Transfer t;
    TouchCapture capture;
    Bytes buffer(14, 0);
    libusb_fill_interrupt_transfer(t.get(), h.get(), 0x81, buffer.data(), 14, onTouch, &capture, 0xFFFFFFFF);
    QCOMPARE(libusb_submit_transfer(t.get()), 0);
    pump(100);
    QCOMPARE(capture.completions.load(), 0); // nothing touched yet

    m_telv->injectTouch(0x345, 0x0AB, 1);
    QElapsedTimer timer;
    timer.start();
    while (capture.completions == 0 && timer.elapsed() < 2000)
        pump(20);
    QCOMPARE(capture.completions.load(), 1);
    QCOMPARE(capture.status.load(), int(LIBUSB_TRANSFER_COMPLETED));
    QCOMPARE(capture.report.size(), size_t(14));
    QCOMPARE((capture.report[3] & 0x0F) << 8 | capture.report[4], 0x345);
    QCOMPARE((capture.report[5] & 0x0F) << 8 | capture.report[6], 0x0AB);
    QCOMPARE(capture.report[3] >> 6, 1);
}

void TestUsbPath::idleEventLoopSleepsInsteadOfSpinning()
{
    DeviceHandle h = openAt(m_ctx->get(), 1, 1);
    QVERIFY(h);
    Transfer t;
    TouchCapture capture;
    Bytes buffer(14, 0);
    libusb_fill_interrupt_transfer(t.get(), h.get(), 0x81, buffer.data(), 14, onTouch, &capture, 0xFFFFFFFF);
    QCOMPARE(libusb_submit_transfer(t.get()), 0);

    // An event pump with a 100 ms timeout, as the programs run it: with a
    // transfer pending and nothing happening it should wake ten times a second.
    QElapsedTimer timer;
    timer.start();
    int wakeups = 0;
    while (timer.elapsed() < 1000) {
        timeval tv{0, 100000};
        libusb_handle_events_timeout_completed(m_ctx->get(), &tv, nullptr);
        ++wakeups;
    }
    QVERIFY2(wakeups <= 15, qPrintable(QStringLiteral("%1 wake-ups in one second").arg(wakeups)));

    libusb_cancel_transfer(t.get());
    timer.restart();
    while (capture.completions == 0 && timer.elapsed() < 2000)
        pump(20);
    QCOMPARE(capture.status.load(), int(LIBUSB_TRANSFER_CANCELLED));
}

void TestUsbPath::unplugFailsPendingTransferAndLaterRequests()
{
    DeviceHandle h = openAt(m_ctx->get(), 1, 1);
    QVERIFY(h);
    const int oldAddress = m_bus->deviceAddress(m_telvSlot);
    Transfer t;
    TouchCapture capture;
    Bytes buffer(14, 0);
    libusb_fill_interrupt_transfer(t.get(), h.get(), 0x81, buffer.data(), 14, onTouch, &capture, 0xFFFFFFFF);
    QCOMPARE(libusb_submit_transfer(t.get()), 0);
    pump(50);

    m_bus->unplug(m_telvSlot);
    QElapsedTimer timer;
    timer.start();
    while (capture.completions == 0 && timer.elapsed() < 2000)
        pump(20);
    QCOMPARE(capture.completions.load(), 1);
    QCOMPARE(capture.status.load(), int(LIBUSB_TRANSFER_NO_DEVICE));

    Bytes ident(64, 0);
    QVERIFY(controlIn(h, 0xA0, ident) < 0);
    QVERIFY(waitForList(m_ctx->get(),
                        [](const std::vector<Found> &all) { return !hasAt(all, 1, 1, kRunningScreenId); }));
    // The other screen is not disturbed.
    DeviceHandle k = openAt(m_ctx->get(), 1, 12);
    QVERIFY(k);
    QVERIFY(controlIn(k, 0xA0, ident) > 0);

    h.reset();
    m_bus->plug(m_telvSlot);
    QVERIFY(m_bus->deviceAddress(m_telvSlot) != oldAddress);
    QVERIFY(waitForList(m_ctx->get(),
                        [](const std::vector<Found> &all) { return hasAt(all, 1, 1, kRunningScreenId); }));
    DeviceHandle again = openAt(m_ctx->get(), 1, 1);
    QVERIFY(again);
    QVERIFY(controlIn(again, 0xA0, ident) > 0);
}

void TestUsbPath::silentScreenTimesOutAndRecovers()
{
    DeviceHandle h = openAt(m_ctx->get(), 1, 1);
    QVERIFY(h);
    Faults f;
    f.silent = true;
    m_telv->setFaults(f);
    Bytes ident(64, 0);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(controlIn(h, 0xA0, ident, 150), int(LIBUSB_ERROR_TIMEOUT));
    QVERIFY(timer.elapsed() >= 140);
    Bytes frame(1000, 0);
    int transferred = -1;
    QCOMPARE(libusb_bulk_transfer(h.get(), 0x02, frame.data(), int(frame.size()), &transferred, 100),
             int(LIBUSB_ERROR_TIMEOUT));

    m_telv->setFaults({});
    QVERIFY(controlIn(h, 0xA0, ident) > 0);
}

void TestUsbPath::faultyScreenStallsAndShortens()
{
    DeviceHandle h = openAt(m_ctx->get(), 1, 12);
    QVERIFY(h);
    Faults f;
    f.shortReply = 2;
    m_k2t->setFaults(f);
    Bytes reply(5, 0);
    controlOut(h, 0xB5, {0x51, 0x02, 0x04, 0x1F, 0xFC});
    QCOMPARE(controlIn(h, 0xB7, reply), 2);

    f = {};
    f.failEvery = 2;
    m_k2t->setFaults(f);
    int failures = 0;
    for (int i = 0; i < 10; ++i) {
        Bytes status(1);
        const int r = controlIn(h, 0xB6, status);
        if (r < 0) {
            QCOMPARE(r, int(LIBUSB_ERROR_PIPE));
            ++failures;
        }
    }
    QCOMPARE(failures, 5);

    // A slow screen still answers, later.
    f = {};
    f.delayMs = 60;
    m_k2t->setFaults(f);
    QElapsedTimer timer;
    timer.start();
    Bytes ident(64, 0);
    QVERIFY(controlIn(h, 0xA0, ident) > 0);
    QVERIFY(timer.elapsed() >= 55);
}

void TestUsbPath::rebootLeavesAndReturnsByFirmwareState()
{
    m_telv->setRebootDelayMs(300);
    {
        DeviceHandle h = openAt(m_ctx->get(), 1, 1);
        QVERIFY(h);
        QCOMPARE(controlOut(h, 0xAA, {0xE5}), 1);
    }
    QVERIFY(waitForList(m_ctx->get(),
                        [](const std::vector<Found> &all) { return !hasAt(all, 1, 1, kRunningScreenId); }));
    QVERIFY(waitForList(m_ctx->get(),
                        [](const std::vector<Found> &all) { return hasAt(all, 1, 1, kRunningScreenId); }));

    // With its firmware spoilt the screen comes back in its boot loader.
    Bytes flash = m_telv->flash();
    flash[0] = 0x00;
    m_telv->setFlash(flash);
    {
        DeviceHandle h = openAt(m_ctx->get(), 1, 1);
        QVERIFY(h);
        QCOMPARE(controlOut(h, 0xAA, {0xE5}), 1);
    }
    QVERIFY(waitForList(m_ctx->get(),
                        [](const std::vector<Found> &all) { return hasAt(all, 1, 1, kTelvBootLoaderId); }));
    flash[0] = 0x16;
    m_telv->setFlash(flash);
    m_bus->unplug(m_telvSlot);
    m_telv->powerUp();
    m_bus->plug(m_telvSlot);
    QVERIFY(waitForList(m_ctx->get(),
                        [](const std::vector<Found> &all) { return hasAt(all, 1, 1, kRunningScreenId); }));
}

void TestUsbPath::manyReplugsReuseAddresses()
{
    // More plug-ins than a bus has addresses: old ones are handed out again.
    const int telvAddress = m_bus->deviceAddress(m_telvSlot);
    std::set<int> addresses;
    for (int i = 0; i < 130; ++i) {
        m_bus->unplug(m_k2tSlot);
        m_bus->plug(m_k2tSlot);
        addresses.insert(m_bus->deviceAddress(m_k2tSlot));
    }
    QVERIFY(addresses.size() >= 120);
    QVERIFY(!addresses.count(telvAddress)); // never the address of a screen still plugged in
    QVERIFY(waitForList(m_ctx->get(), [](const std::vector<Found> &all) {
        return std::count_if(all.begin(), all.end(), [](const Found &f) { return f.bus == 1 && f.port == 12; }) == 1;
    }));
    DeviceHandle h = openAt(m_ctx->get(), 1, 12);
    QVERIFY(h);
    Bytes ident(64, 0);
    QVERIFY(controlIn(h, 0xA0, ident) > 0);
}

void TestUsbPath::listenersThatStopReadingOrRefuseLeaveTheBusRunning()
{
    // A process on the bus that no longer reads its udev events (stopped, or
    // far behind): its queue fills, and the bus goes on for the others
    // instead of ending the process that holds it.
    const int deaf = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
    QVERIFY(deaf >= 0);
    const auto closeDeaf = qScopeGuard([deaf] { close(deaf); });
    sockaddr_nl udev{};
    udev.nl_family = AF_NETLINK;
    udev.nl_groups = 2;
    QCOMPARE(bind(deaf, reinterpret_cast<const sockaddr *>(&udev), sizeof udev), 0);
    // One whose socket refuses the event: as a program's does that closes it
    // between the sender's connect and its send, ending as its screen leaves.
    const auto unixSocket = [](const std::string &path) {
        const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        return std::pair(fd, fd >= 0 && bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0
                                 ? address
                                 : sockaddr_un{});
    };
    const std::pair<int, sockaddr_un> peer = unixSocket(m_bus->rootDir() + "/peer");
    const std::pair<int, sockaddr_un> refusing = unixSocket(m_bus->rootDir() + "/event999");
    const auto closeBoth = qScopeGuard([peer, refusing] {
        close(peer.first);
        close(refusing.first);
    });
    QVERIFY(peer.second.sun_family == AF_UNIX && refusing.second.sun_family == AF_UNIX);
    QCOMPARE(::connect(refusing.first, reinterpret_cast<const sockaddr *>(&peer.second), sizeof peer.second), 0);
    for (int i = 0; i < 15; ++i) {
        m_bus->unplug(m_k2tSlot);
        m_bus->plug(m_k2tSlot);
    }
    const int address = m_bus->deviceAddress(m_k2tSlot);
    QVERIFY(waitForList(m_ctx->get(), [&](const std::vector<Found> &all) {
        return std::any_of(all.begin(), all.end(), [&](const Found &f) { return f.port == 12 && f.address == address; });
    }));
}

void TestUsbPath::busEndsRightAfterItsLastAnswer()
{
    // A program that got its answer goes on at once and ends the bus, while
    // umockdev's thread is still returning from the handler that answered:
    // nothing that thread still uses may be freed before it is done (the
    // ThreadSanitizer run watches this). Last, as it ends the shared bus.
    m_ctx.reset();
    m_bus.reset();
    for (int i = 0; i < 50; ++i) {
        VirtualBus bus;
        bus.attach(std::make_shared<ScreenModel>(preset("6.8in-telv")), 1, 1);
        UsbContext ctx;
        QVERIFY(ctx);
        DeviceHandle h = openAt(ctx.get(), 1, 1);
        QVERIFY(h);
        Bytes ident(64, 0);
        QCOMPARE(controlIn(h, 0xA0, ident), int(preset("6.8in-telv").ident.size() + 1));
    }
}

void TestUsbPath::hubsAndClaimsAsTheKernelKeepsThem()
{
    // Port 1 of two hubs on one bus: one last port number, two paths.
    auto a = std::make_shared<ScreenModel>(preset("6.8in-telv"), 0x0501);
    auto b = std::make_shared<ScreenModel>(preset("7in-telv"), 0x0502);
    m_bus->attach(a, 5, std::vector<int>{2, 1});
    m_bus->attach(b, 5, std::vector<int>{3, 1});
    const auto pathOf = [](libusb_device *dev) {
        uint8_t ports[8] = {};
        const int n = libusb_get_port_numbers(dev, ports, 8);
        return std::vector<int>(ports, ports + std::max(n, 0));
    };
    const auto find = [&](const std::vector<int> &path) -> DeviceHandle {
        DeviceList list(m_ctx->get());
        for (libusb_device *dev : list)
            if (libusb_get_bus_number(dev) == 5 && pathOf(dev) == path)
                return DeviceHandle::open(dev);
        return {};
    };
    QTRY_VERIFY(find({2, 1}) && find({3, 1}));

    // One opened file holds the screen; another, of this process or of
    // another, is refused until it lets go, and closing lets go.
    DeviceHandle first = find({2, 1});
    DeviceHandle second = find({2, 1});
    QCOMPARE(first.claimInterface0(), 0);
    QCOMPARE(second.claimInterface0(), int(LIBUSB_ERROR_BUSY));
    // Bus 5's lines of what another process sees.
    const auto probe = [] {
        QProcess p;
        p.start(QStringLiteral(USBPROBE_PATH), QStringList());
        p.waitForFinished(10000);
        return QString::fromUtf8(p.readAllStandardOutput()).split(QLatin1Char('\n')).filter(QRegularExpression(QStringLiteral("^5\\."))).join(QLatin1Char('\n'));
    };
    const QString held = probe();
    QVERIFY2(held.contains(QString::fromStdString(b->preset().ident)), qPrintable(held));
    QVERIFY2(!held.contains(QString::fromStdString(a->preset().ident)), qPrintable(held));
    first.reset();
    QCOMPARE(second.claimInterface0(), 0);
    second.reset();
    QVERIFY(probe().contains(QString::fromStdString(a->preset().ident)));
}

QTEST_GUILESS_MAIN(TestUsbPath)
#include "tst_usbpath.moc"
