// The screen requests and bridge transactions as a simulated screen
// receives them through the real libusb. Runs under umockdev-wrapper.
#include "bridge.h"
#include "identify.h"
#include "requests.h"
#include "screen.h"
#include "usb/virtualbus.h"

#include <QElapsedTimer>
#include <QTest>

#include <atomic>
#include <future>
#include <thread>
#include <utility>

using namespace screenlink;
using Bytes = std::vector<uint8_t>;

namespace {

// Pumps libusb events on a thread of its own, as the programs do.
class EventPump {
public:
    explicit EventPump(libusb_context *ctx)
        : m_thread([this, ctx] {
              while (m_run) {
                  timeval tv{0, 50000};
                  libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
              }
          })
    {
    }
    ~EventPump()
    {
        m_run = false;
        m_thread.join();
    }

private:
    std::atomic<bool> m_run{true};
    std::thread m_thread;
};

} // namespace

class TestRequests : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void eachRequestHasItsFraming();
    void screenExchangesSendTheirRequestsInOrder();
    void timeoutsFollowTheCatalogue();
    void bridgeWrite8RefusesMoreThan16AndStopsAtFirstFailure();
    void bridgeWriteBlock8WritesPiecesWithWrappingRegister();
    void deviceIdReadsConfigurationOrZeros();
    void identificationReadsCodesAndString();
    void bridgeTransactionsOfTwoThreadsNeverInterleave();
    void touchTransferDeliversAndEndsCleanly();
    void touchTransferEndsWhenScreenIsUnplugged();
    void closingWhileReportsArriveEndsCleanly();
    void closeThatMeetsTheCallbackStillEnds();
    void retriesEndAtSuccessAndAtAScreenThatIsGone();
    void failedTransactionsAreRunAgainFromTheirCommand();

private:
    std::shared_ptr<Screen> openScreen(int port);
    // One raw request of requests.h, as one exchange with the screen.
    template <typename Request>
    int raw(Request &&request)
    {
        return m_screen->exchange([&](Wire &w) { return request(w.handle()); });
    }

    std::unique_ptr<sim::VirtualBus> m_bus;
    std::shared_ptr<UsbContext> m_ctx;
    std::shared_ptr<sim::ScreenModel> m_model;
    int m_slot = -1;
    std::shared_ptr<Screen> m_screen;
};

void TestRequests::initTestCase()
{
    m_bus = std::make_unique<sim::VirtualBus>();
    m_model = std::make_shared<sim::ScreenModel>(*sim::findPreset("6.8in-telv"), 0x0A0B);
    m_slot = m_bus->attach(m_model, 1, 4);
    m_ctx = std::make_shared<UsbContext>();
    QVERIFY(*m_ctx);
    QTRY_VERIFY((m_screen = openScreen(4)) != nullptr);
}

void TestRequests::init()
{
    m_model->setFaults({});
    m_model->clearRequests();
}

void TestRequests::cleanupTestCase()
{
    m_screen.reset();
    m_ctx.reset();
    m_bus.reset();
}

std::shared_ptr<Screen> TestRequests::openScreen(int port)
{
    DeviceList list(m_ctx->get());
    for (libusb_device *dev : list)
        if (libusb_get_port_number(dev) == port)
            return Screen::open(m_ctx, dev);
    return nullptr;
}

void TestRequests::eachRequestHasItsFraming()
{
    uint8_t buf[128] = {};
    using Handle = libusb_device_handle *;
    struct Case {
        const char *name;
        std::function<int(Handle)> call;
        uint8_t type;
        uint8_t request;
        uint16_t length;
        Bytes payload; // OUT only
    };
    const Bytes bridge{0x51, 0x02, 0x04, 0x1F, 0xFC};
    const std::vector<Case> cases = {
        {"identification", [&](Handle h) { return readIdentString(h, buf); }, 0xC0, 0xA0, 64, {}},
        {"log offset", [&](Handle h) { return setLogOffset(h, 0x01020304); }, 0x40, 0xA5, 4, {0x04, 0x03, 0x02, 0x01}},
        {"log chunk", [&](Handle h) { return readLogChunk(h, buf); }, 0xC0, 0xA6, 64, {}},
        {"log length", [&](Handle h) { return readLogLength(h, buf); }, 0xC0, 0xA7, 4, {}},
        {"display on", [&](Handle h) { return sendDisplayOn(h); }, 0x40, 0xB0, 2, {0x00, 0x29}},
        {"frame header", [&](Handle h) { return sendFrameHeader(h, 768000); }, 0x40, 0xB0, 6,
         {0x00, 0x2C, 0x00, 0xB8, 0x0B, 0x00}},
        {"flip", [&](Handle h) { return sendFlip(h, 3); }, 0x40, 0xB0, 8,
         {0x00, 0x36, 0x02, 0x00, 0x00, 0x00, 0x03, 0x03}},
        {"backlight", [&](Handle h) { return sendBacklight(h, 255); }, 0x40, 0xB0, 8,
         {0x00, 0x51, 0x02, 0x00, 0x00, 0x00, 0xFF, 0x00}},
        {"bridge command", [&](Handle h) { return bridgeCommand(h, bridge.data(), 5, 100); }, 0x40, 0xB5, 5, bridge},
        {"bridge status", [&](Handle h) { return bridgeStatus(h, buf, 100); }, 0xC0, 0xB6, 1, {}},
        {"bridge data", [&](Handle h) { return bridgeData(h, buf, 5, 100); }, 0xC0, 0xB7, 5, {}},
        {"programming on", [&](Handle h) { return setProgramming(h, true); }, 0x40, 0xB9, 1, {0xEF}},
        {"programming off", [&](Handle h) { return setProgramming(h, false); }, 0x40, 0xB9, 1, {0x00}},
        {"erase step", [&](Handle h) { return eraseStep(h, 15); }, 0x40, 0xBE, 2, {0xEE, 0x0F}},
    };
    for (const Case &c : cases) {
        m_model->clearRequests();
        QVERIFY2(raw(c.call) >= 0, c.name);
        const auto log = m_model->requests();
        QVERIFY2(log.size() == 1, c.name);
        const sim::Setup &s = log[0].setup;
        QVERIFY2(s.requestType == c.type && s.request == c.request, c.name);
        QVERIFY2(s.value == 0 && s.index == 0, c.name);
        QVERIFY2(s.length == c.length, c.name);
        if (c.type == 0x40)
            QVERIFY2(log[0].payload == c.payload, c.name);
    }
    // The monitor's form of the header leaves byte 5 at zero.
    m_model->clearRequests();
    raw([](Handle h) { return sendFrameHeader(h, 0x01000000, 0x00); });
    QCOMPARE(m_model->requests().at(0).payload, (Bytes{0x00, 0x2C, 0x00, 0x00, 0x00, 0x00}));
    // Reboot last: the screen leaves the bus.
    m_model->clearRequests();
    m_model->setRebootDelayMs(100);
    QCOMPARE(raw([](Handle h) { return requestReboot(h); }), 1);
    QCOMPARE(m_model->requests().at(0).payload, Bytes{0xE5});
    m_screen.reset();
    QTRY_VERIFY(!m_bus->plugged(m_slot));
    QTRY_VERIFY(m_bus->plugged(m_slot));
    QTRY_VERIFY((m_screen = openScreen(4)) != nullptr);
}

void TestRequests::screenExchangesSendTheirRequestsInOrder()
{
    using Kind = sim::RequestRecord::Kind;
    // Control requests by their data, bulk transfers by their length.
    const auto wire = [this] {
        QStringList out;
        for (const auto &r : m_model->requests()) {
            const QByteArray data(reinterpret_cast<const char *>(r.payload.data()), qsizetype(r.payload.size()));
            out << (r.kind == Kind::BulkOut ? QStringLiteral("bulk %1").arg(r.bulkLength)
                                            : QString::fromLatin1(data.toHex(' ')));
        }
        return out;
    };

    // A log chunk: its offset, then the chunk.
    uint8_t chunk[64] = {};
    QCOMPARE(m_screen->readLogChunk(0x00010203, chunk), 64);
    const auto log = m_model->requests();
    QCOMPARE(log.size(), size_t(2));
    QCOMPARE(log[0].setup.request, uint8_t(0xA5));
    QCOMPARE(log[0].payload, (Bytes{0x03, 0x02, 0x01, 0x00}));
    QCOMPARE(log[1].setup.request, uint8_t(0xA6));

    // A frame the panel takes twice, after the display-on command.
    const Bytes pixels(8, 0x11);
    m_model->clearRequests();
    FrameSend twice;
    twice.displayOn = true;
    twice.times = 2;
    QCOMPARE(m_screen->sendFrame(pixels.data(), 8, twice), 8);
    QCOMPARE(wire(), (QStringList{QStringLiteral("00 29"), QStringLiteral("00 2c 08 00 00 00"),
                                  QStringLiteral("bulk 8"), QStringLiteral("00 2c 08 00 00 00"),
                                  QStringLiteral("bulk 8")}));

    // A header that fails sends no data after it: the data would be taken
    // as the next frame's.
    sim::Faults stall;
    stall.failEvery = 1;
    m_model->setFaults(stall);
    m_model->clearRequests();
    QCOMPARE(m_screen->sendFrame(pixels.data(), 8, {}), int(LIBUSB_ERROR_PIPE));
    m_model->setFaults({});
    QCOMPARE(wire(), QStringList{QStringLiteral("00 2c 08 00 00 00")});
    QCOMPARE(m_model->requests().at(0).outcome, sim::Reply::Kind::Stall);
}

void TestRequests::timeoutsFollowTheCatalogue()
{
    // A screen that answers 150 ms late: 100 ms requests give up, 200 ms ones wait.
    sim::Faults slow;
    slow.delayMs = 150;
    m_model->setFaults(slow);
    using Handle = libusb_device_handle *;
    uint8_t buf[64] = {};
    QVERIFY(raw([&](Handle h) { return readIdentString(h, buf); }) > 0);
    QVERIFY(raw([](Handle h) { return setProgramming(h, false); }) > 0);
    QVERIFY(raw([](Handle h) { return eraseStep(h, 0); }) > 0);
    QCOMPARE(raw([](Handle h) { return sendFlip(h, 0); }), int(LIBUSB_ERROR_TIMEOUT));
    QCOMPARE(raw([](Handle h) { return sendBacklight(h, 1); }), int(LIBUSB_ERROR_TIMEOUT));
    QCOMPARE(raw([](Handle h) { return sendDisplayOn(h); }), int(LIBUSB_ERROR_TIMEOUT));
    QCOMPARE(raw([&](Handle h) { return readLogLength(h, buf); }), int(LIBUSB_ERROR_TIMEOUT));
    QCOMPARE(raw([](Handle h) { return setLogOffset(h, 0); }), int(LIBUSB_ERROR_TIMEOUT));
    QCOMPARE(raw([&](Handle h) { return readLogChunk(h, buf); }), int(LIBUSB_ERROR_TIMEOUT));
    const Bytes frame(100, 0);
    QCOMPARE(raw([&](Handle h) { return sendBulk(h, frame.data(), int(frame.size())); }), int(LIBUSB_ERROR_TIMEOUT));
    // Register writes take 200 ms per request.
    const uint8_t one = 1;
    QCOMPARE(bridgeWrite8(*m_screen, 0x74, 0x00, &one, 1), 1);
}

void TestRequests::bridgeWrite8RefusesMoreThan16AndStopsAtFirstFailure()
{
    uint8_t data[17] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
    QCOMPARE(bridgeWrite8(*m_screen, 0x74, 0x10, data, 17), -1);
    QVERIFY(m_model->requests().empty());

    QCOMPARE(bridgeWrite8(*m_screen, 0x74, 0x10, data, 16), 16);
    auto log = m_model->requests();
    QCOMPARE(log.size(), size_t(2));
    QCOMPARE(log[0].setup.request, uint8_t(0xB5));
    QCOMPARE(log[0].setup.length, uint16_t(20));
    QCOMPARE(log[0].payload, (Bytes{0x74, 17, 0x00, 0x10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
    QCOMPARE(log[1].setup.request, uint8_t(0xB6));
    QCOMPARE(log[1].setup.length, uint16_t(1));

    sim::Faults stall;
    stall.failEvery = 1;
    m_model->setFaults(stall);
    m_model->clearRequests();
    QCOMPARE(bridgeWrite8(*m_screen, 0x74, 0x10, data, 4), int(LIBUSB_ERROR_PIPE));
    QCOMPARE(m_model->requests().size(), size_t(1)); // no status request after a failure
}

void TestRequests::bridgeWriteBlock8WritesPiecesWithWrappingRegister()
{
    Bytes data(40);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(0x80 + i);
    QCOMPARE(bridgeWriteBlock8(*m_screen, 0x74, 0x00, data.data(), 40), 0);
    std::vector<std::pair<uint8_t, size_t>> writes; // register, data bytes
    for (const auto &r : m_model->requests())
        if (r.setup.request == 0xB5)
            writes.emplace_back(r.payload[3], r.payload.size() - 4);
    QCOMPARE(writes, (std::vector<std::pair<uint8_t, size_t>>{{0x00, 16}, {0x10, 16}, {0x20, 8}}));
    QCOMPARE(m_model->ledRegister(0, 0x27), uint8_t(0x80 + 0x27));

    m_model->clearRequests();
    writes.clear();
    bridgeWriteBlock8(*m_screen, 0x74, 0xF8, data.data(), 18);
    for (const auto &r : m_model->requests())
        if (r.setup.request == 0xB5)
            writes.emplace_back(r.payload[3], r.payload.size() - 4);
    QCOMPARE(writes, (std::vector<std::pair<uint8_t, size_t>>{{0xF8, 16}, {0x08, 2}}));
    QCOMPARE(m_model->requests().back().setup.request, uint8_t(0xB6));
}

void TestRequests::deviceIdReadsConfigurationOrZeros()
{
    const auto id = m_model->deviceId();
    bool whole = false;
    const QString read = readDeviceId(*m_screen, &whole);
    QVERIFY(whole);
    QCOMPARE(read, formatDeviceId(id.data()));
    QCOMPARE(read, QStringLiteral("7c05-0f0a-1e2d0a0b"));
    const auto log = m_model->requests();
    QCOMPARE(log.size(), size_t(3));
    QCOMPARE(log[0].payload, (Bytes{0x51, 0x02, 0x08, 0x1F, 0xF0}));
    QCOMPARE(log[2].setup.length, uint16_t(9));

    // A command the screen refused leaves the last transaction's bytes in
    // the bridge: they are not this screen's ID.
    uint8_t other[8] = {};
    QVERIFY(readConfig(*m_screen, 0x0000, 8, other) >= 0);
    m_model->setRequestFilter([](const sim::Setup &s, const uint8_t *, size_t) {
        return s.request == 0xB5 ? sim::ScreenModel::FilterAction::Stall : sim::ScreenModel::FilterAction::Pass;
    });
    QCOMPARE(readDeviceId(*m_screen, &whole), QStringLiteral("0000-0000-00000000"));
    QVERIFY(!whole);
    m_model->setRequestFilter({});

    sim::Faults silent;
    silent.silent = true;
    m_model->setFaults(silent);
    QCOMPARE(readDeviceId(*m_screen, &whole), QStringLiteral("0000-0000-00000000"));
    QVERIFY(!whole);
}

void TestRequests::identificationReadsCodesAndString()
{
    ScreenGeometry g;
    const QString text = identifyScreen(*m_screen, g);
    QCOMPARE(text, QStringLiteral("TELV ") + QString::fromStdString(m_model->preset().ident) + QStringLiteral(",6.8IN"));
    QCOMPARE(g.sizeCode, 7u);
    QCOMPARE(g.variantCode, 6);
    QCOMPARE(g.flipDefault, 1);

    // One read of the variant that a busy bus let fail is tried again: the
    // 6.8-inch TELV panel is not taken for the older family's.
    bool refused = false;
    m_model->setRequestFilter([&refused](const sim::Setup &s, const uint8_t *out, size_t n) {
        const bool variant = s.request == 0xB5 && n == 5 && out[4] == 0xF8;
        return variant && !std::exchange(refused, true) ? sim::ScreenModel::FilterAction::Stall
                                                        : sim::ScreenModel::FilterAction::Pass;
    });
    ScreenGeometry again;
    identifyScreen(*m_screen, again);
    m_model->setRequestFilter({});
    QVERIFY(refused);
    QCOMPARE(again.variantCode, 6);
    QCOMPARE(again.modelFirmwareName, QStringLiteral("TELV/TELV.6d8.TAVRIK.bin"));

    // Short replies leave zeros: codes no row knows, and an empty string.
    sim::Faults cut;
    cut.shortReply = 0;
    m_model->setFaults(cut);
    ScreenGeometry h;
    QCOMPARE(identifyScreen(*m_screen, h), QStringLiteral("Unknown Size, 480x800x16?, Unknown Type"));
    QCOMPARE(h.sizeCode, 0u);
}

void TestRequests::bridgeTransactionsOfTwoThreadsNeverInterleave()
{
    std::atomic<bool> go{true};
    std::thread writer([&] {
        const uint8_t data[16] = {};
        while (go)
            bridgeWrite8(*m_screen, 0x74, 0x24, data, 16);
    });
    for (int i = 0; i < 40; ++i)
        readDeviceId(*m_screen);
    go = false;
    writer.join();

    // Every 0xB5 is followed by its own 0xB6 (and 0xB7 for a read) before
    // the next transaction begins.
    const auto log = m_model->requests();
    size_t reads = 0;
    for (size_t i = 0; i < log.size(); ++i) {
        if (log[i].setup.request != 0xB5)
            continue;
        QVERIFY(i + 1 < log.size());
        QCOMPARE(log[i + 1].setup.request, uint8_t(0xB6));
        if (log[i].payload[0] == 0x51) {
            ++reads;
            QVERIFY(i + 2 < log.size());
            QCOMPARE(log[i + 2].setup.request, uint8_t(0xB7));
        }
    }
    QCOMPARE(reads, size_t(40));
}

void TestRequests::touchTransferDeliversAndEndsCleanly()
{
    EventPump pump(m_ctx->get());
    std::atomic<int> reports{0};
    std::atomic<int> lastX{-1};
    QCOMPARE(m_screen->startTouch([&](const TouchTransfer::Report &r) {
        lastX = (r[3] & 0x0F) << 8 | r[4];
        ++reports;
    }),
             0);
    QVERIFY(m_screen->touchActive());
    m_model->injectTouch(0x123, 5, 1);
    QTRY_COMPARE(reports.load(), 1);
    QCOMPARE(lastX.load(), 0x123);
    // Submitted again: a second touch arrives too.
    m_model->injectTouch(0x456, 5, 0);
    QTRY_COMPARE(reports.load(), 2);
    QCOMPARE(lastX.load(), 0x456);

    QElapsedTimer t;
    t.start();
    m_screen->stopTouch();
    QVERIFY(t.elapsed() < 1000);
    QVERIFY(!m_screen->touchActive());
    m_model->injectTouch(1, 1, 0);
    QTest::qWait(100);
    QCOMPARE(reports.load(), 2);
    m_model->takeTouchReport(); // leave nothing queued for later tests
}

void TestRequests::touchTransferEndsWhenScreenIsUnplugged()
{
    auto model = std::make_shared<sim::ScreenModel>(*sim::findPreset("4in-telv"));
    const int slot = m_bus->attach(model, 2, 9);
    std::shared_ptr<Screen> screen;
    QTRY_VERIFY((screen = openScreen(9)) != nullptr);
    EventPump pump(m_ctx->get());
    std::atomic<int> reports{0};
    screen->startTouch([&](const TouchTransfer::Report &) { ++reports; });
    m_bus->unplug(slot);
    // Ends by itself with no-device: nothing decoded, nothing resubmitted.
    QTRY_VERIFY(!screen->touchActive());
    QCOMPARE(reports.load(), 0);
    QElapsedTimer t;
    t.start();
    screen.reset(); // cancels nothing, waits for nothing, closes
    QVERIFY(t.elapsed() < 500);
}

void TestRequests::closingWhileReportsArriveEndsCleanly()
{
    // Screens closed and pulled out while a stream of touch reports comes
    // in: the transfer's last callback must be done with the screen object
    // before the object goes. The sanitizer runs are what catch a late use.
    auto model = std::make_shared<sim::ScreenModel>(*sim::findPreset("6.8in-telv"));
    const int slot = m_bus->attach(model, 3, 11);
    EventPump pump(m_ctx->get());
    std::atomic<bool> injecting{true};
    std::thread injector([&] {
        int i = 0;
        while (injecting) {
            model->injectTouch(i % 4096, (i * 7) % 4096, i & 1);
            ++i;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    std::atomic<int> reports{0};
    for (int cycle = 0; cycle < 40; ++cycle) {
        std::shared_ptr<Screen> screen;
        QTRY_VERIFY((screen = openScreen(11)) != nullptr);
        screen->startTouch([&reports](const TouchTransfer::Report &) {
            ++reports;
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        });
        const int before = reports;
        QTRY_VERIFY(reports > before);
        if (cycle % 2 == 1) {
            m_bus->unplug(slot); // the device goes with reports in flight
            screen.reset();
            m_bus->plug(slot);
        } else {
            screen.reset();
        }
    }
    injecting = false;
    injector.join();
    QVERIFY(reports > 40);
    m_bus->unplug(slot);
    while (model->takeTouchReport()) {
    }
}

void TestRequests::closeThatMeetsTheCallbackStillEnds()
{
    // The close lands while a report's callback runs, after it looked for a
    // stop and before it submitted the transfer again: the close finds
    // nothing to cancel, and no touch comes after it.
    DeviceList list(m_ctx->get());
    libusb_device *device = nullptr;
    for (libusb_device *d : list)
        if (libusb_get_port_number(d) == 4)
            device = d;
    QVERIFY(device);
    DeviceHandle handle = DeviceHandle::open(device);
    QVERIFY(handle);
    EventPump pump(m_ctx->get());
    std::atomic<int> reports{0};
    TouchTransfer touch(m_ctx->get(), handle.get(), [&reports](const TouchTransfer::Report &) { ++reports; });
    std::atomic<bool> met{false};
    touch.setBeforeResubmit([&touch, &met] {
        touch.requestStop();
        met = true;
    });
    QCOMPARE(touch.submit(), 0);
    m_model->injectTouch(0x10, 0x20, 1);
    QTRY_VERIFY(met);
    auto closed = std::async(std::launch::async, [&touch] { touch.waitEnded(); });
    const bool inTime = closed.wait_for(std::chrono::seconds(1)) == std::future_status::ready;
    if (!inTime)
        m_model->injectTouch(0, 0, 0); // lets the close end, so the test can
    closed.wait();
    QVERIFY2(inTime, "the close waited for another touch");
    QCOMPARE(reports.load(), 0); // a report that meets a close is not handed on
    while (m_model->takeTouchReport()) {
    }
}

void TestRequests::retriesEndAtSuccessAndAtAScreenThatIsGone()
{
    int calls = 0;
    QCOMPARE(withRetries(3, [&] { return ++calls == 2 ? 5 : int(LIBUSB_ERROR_PIPE); }), 5);
    QCOMPARE(calls, 2);
    calls = 0;
    QCOMPARE(withRetries(3, [&] { return ++calls, int(LIBUSB_ERROR_TIMEOUT); }), int(LIBUSB_ERROR_TIMEOUT));
    QCOMPARE(calls, 3);
    calls = 0;
    QCOMPARE(withRetries(3, [&] { return ++calls, int(LIBUSB_ERROR_NO_DEVICE); }), int(LIBUSB_ERROR_NO_DEVICE));
    QCOMPARE(calls, 1);
}

void TestRequests::failedTransactionsAreRunAgainFromTheirCommand()
{
    // A status request that stalls ends the screen's transaction: the try
    // after it starts again with the command, never with a lone status.
    int statuses = 0;
    m_model->setRequestFilter([&statuses](const sim::Setup &s, const uint8_t *, size_t) {
        return s.request == 0xB6 && ++statuses == 1 ? sim::ScreenModel::FilterAction::Stall
                                                     : sim::ScreenModel::FilterAction::Pass;
    });
    const uint8_t line[16] = {};
    QVERIFY(writeConfigLine(*m_screen, 0x0100, line, 3) >= 0);
    m_model->setRequestFilter({});
    std::vector<uint8_t> wire;
    for (const auto &r : m_model->requests())
        wire.push_back(r.setup.request);
    QCOMPARE(wire, (std::vector<uint8_t>{0xB5, 0xB6, 0xB5, 0xB6}));
    QCOMPARE(m_model->interleavedTransactions(), uint64_t(0));

    // A flash read that comes back short is read again, whole.
    m_model->clearRequests();
    sim::Faults lies;
    lies.shortReply = 10;
    m_model->setFaults(lies);
    uint8_t chunk[kFlashChunk];
    QCOMPARE(flashRead48(*m_screen, 0, chunk, 3), int(LIBUSB_ERROR_IO));
    QCOMPARE(m_model->requests().size(), size_t(6));
    m_model->setFaults({});
}

QTEST_GUILESS_MAIN(TestRequests)
#include "tst_requests.moc"
