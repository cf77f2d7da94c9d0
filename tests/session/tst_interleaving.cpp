// Every exchange with a screen passes its one serialising point: with
// pictures, colour fills, flips, monitor-mode frames, the throughput test,
// the LED test and device ID reads all going to one screen at once, the
// screen never sees a frame header followed by another request or by data
// of another length, nor a bridge transaction cut by another. Runs under
// umockdev-wrapper, with the stand-in frame driver.
#include "bridge.h"
#include "screen.h"
#include "screensession.h"
#include "usb/virtualbus.h"

#include <QElapsedTimer>
#include <QPainter>
#include <QTest>

#include <atomic>
#include <thread>

using namespace sim;

namespace {

uint32_t headerCount(const RequestRecord &r)
{
    return uint32_t(r.payload[2]) | uint32_t(r.payload[3]) << 8 | uint32_t(r.payload[4]) << 16
           | uint32_t(r.payload[5]) << 24;
}

bool isFrameHeader(const RequestRecord &r)
{
    return r.kind == RequestRecord::Kind::Control && r.setup.request == 0xB0 && r.payload.size() == 6
           && r.payload[1] == 0x2C;
}

// The picture path sends display-on (0x29) right before its frame header.
bool afterDisplayOn(const std::vector<RequestRecord> &log, size_t i)
{
    return i > 0 && log[i - 1].kind == RequestRecord::Kind::Control && log[i - 1].payload.size() == 2
           && log[i - 1].payload[1] == 0x29;
}

size_t pictureHeadersIn(const std::vector<RequestRecord> &log)
{
    size_t count = 0;
    for (size_t i = 0; i < log.size(); ++i)
        count += isFrameHeader(log[i]) && afterDisplayOn(log, i);
    return count;
}

} // namespace

class TestInterleaving : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void manySourcesNeverMixTheirExchanges();
};

void TestInterleaving::initTestCase()
{
    QVERIFY2(qEnvironmentVariableIsSet("LD_PRELOAD"), "run under umockdev-wrapper");
}

void TestInterleaving::manySourcesNeverMixTheirExchanges()
{
    VirtualBus bus;
    auto model = std::make_shared<ScreenModel>(*findPreset("6.8in-telv"), 0x77);
    bus.attach(model, 1, 4);
    session::ScreenSession screens;
    QElapsedTimer opened;
    opened.start();
    while (!screens.hasScreen() && opened.elapsed() < 5000) {
        screens.scan();
        QTest::qWait(50);
    }
    QVERIFY(screens.hasScreen());
    model->clearRequests();

    screens.startMonitor(QStringLiteral(FAKEDRIVER_PATH));
    QVERIFY(screens.startLedTest());
    QVERIFY(screens.startThroughputTest());
    std::atomic<bool> reading{true};
    std::shared_ptr<screenlink::Screen> screen = screens.current()->link();
    std::thread idReader([&] {
        while (reading)
            screenlink::readDeviceId(*screen);
    });

    // The window's own sources, from its thread, for as long as the others run.
    QImage picture(800, 480, QImage::Format_RGB32);
    QElapsedTimer busy;
    busy.start();
    int round = 0;
    // Three seconds, and longer on a slow (sanitized, loaded) machine until
    // enough of the window's pictures went out to have met the others.
    qint64 nextLook = 3000;
    while (busy.elapsed() < 30000) {
        if (busy.elapsed() >= nextLook) {
            if (pictureHeadersIn(model->requests()) > 20)
                break;
            nextLook += 500;
        }
        picture.fill(QColor::fromHsv((round * 37) % 360, 200, 200));
        screens.showPicture(picture);
        screens.sendFlip(round % 4);
        screens.sendBacklight(round % 256);
        ++round;
        QTest::qWait(5);
    }
    reading = false;
    idReader.join();
    screens.stopJobs();
    // The window's last picture may still be on its way.
    QTRY_VERIFY_WITH_TIMEOUT(!screens.framesPending(), 10000);
    screen.reset();

    const std::vector<RequestRecord> log = model->requests();
    size_t headers = 0;
    size_t pictureHeaders = 0;
    size_t rawBulk = 0;
    for (size_t i = 0; i < log.size(); ++i) {
        if (!isFrameHeader(log[i])) {
            if (log[i].kind == RequestRecord::Kind::BulkOut)
                ++rawBulk;
            continue;
        }
        ++headers;
        pictureHeaders += afterDisplayOn(log, i) ? 1 : 0;
        QVERIFY2(i + 1 < log.size(), "a frame header without its data at the end");
        const RequestRecord &next = log[i + 1];
        QVERIFY2(next.kind == RequestRecord::Kind::BulkOut,
                 qPrintable(QStringLiteral("request %1 follows a frame header").arg(next.setup.request, 2, 16)));
        QCOMPARE(next.bulkLength, headerCount(log[i]));
        ++i; // the data belongs to this header
    }
    // Both kinds of frame went out, many of each.
    QVERIFY2(pictureHeaders > 20, qPrintable(QString::number(pictureHeaders)));
    QVERIFY2(headers - pictureHeaders > 20, qPrintable(QString::number(headers - pictureHeaders)));
    QVERIFY2(rawBulk > 0, "the throughput test sent nothing between the frames");
    const FrameStats stats = model->frameStats();
    QCOMPARE(stats.framesAbandoned, uint64_t(0));
    QCOMPARE(stats.overrunBytes, uint64_t(0));
    QCOMPARE(model->interleavedTransactions(), uint64_t(0));
    QVERIFY2(model->ledPage() == 0x00, "the LED test never got past its set-up");
}

QTEST_MAIN(TestInterleaving)
#include "tst_interleaving.moc"
