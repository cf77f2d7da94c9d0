// The frame share as both sides use it: its header layout, the rate, the
// frame header, the bounds every picture is checked against, publishing and
// waiting.
#include "frameshare.h"
#include "monitortestsupport.h"
#include "telvmonitorthread.h"

#include <QFile>
#include <QTest>

#include <cstring>

using namespace monitor;
using monitortest::Bytes;
using monitortest::uniqueName;

namespace {

FrameShareNames testNames()
{
    return {uniqueName("share"), uniqueName("event")};
}

Bytes headerBytes(const FrameShare &share)
{
    const uint8_t *base = share.pixels() - kShareHeaderSize;
    return Bytes(base, base + kShareHeaderSize);
}

} // namespace

class TestFrameShare : public QObject {
    Q_OBJECT

private slots:
    void rateFollowsTheSize_data();
    void rateFollowsTheSize();
    void frameHeaderCarriesTheByteCount_data();
    void frameHeaderCarriesTheByteCount();
    void headerFieldsAreLittleEndianAtTheirOffsets();
    void pictureFitsGuardsThePixelArea_data();
    void pictureFitsGuardsThePixelArea();
    void publishCopiesRowsThenSetsTheEvent();
    void publishRefusesPicturesPastTheShare();
    void secondOpenFindsTheExistingShare();
    void closeReleasesTheShare();
};

void TestFrameShare::rateFollowsTheSize_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("rate");
    QTest::newRow("480x800") << 480 << 800 << 36;
    QTest::newRow("800x480") << 800 << 480 << 36;
    QTest::newRow("1024x600 is 22, raised to 24") << 1024 << 600 << 24;
    QTest::newRow("320x240") << 320 << 240 << 180;
    QTest::newRow("1280x400") << 1280 << 400 << 27;
    // Divided step by step, a size whose product passes 32 bits still works.
    QTest::newRow("65536x65536") << 65536 << 65536 << 24;
    QTest::newRow("no size") << 0 << 480 << 0;
}

void TestFrameShare::rateFollowsTheSize()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, rate);
    QCOMPARE(frameRate(width, height), rate);
}

void TestFrameShare::frameHeaderCarriesTheByteCount_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<QByteArray>("header");
    QTest::newRow("480x800") << 480 << 800 << QByteArray::fromHex("002C00B80B00");
    QTest::newRow("1280x400") << 1280 << 400 << QByteArray::fromHex("002C00A00F00");
    QTest::newRow("320x240") << 320 << 240 << QByteArray::fromHex("002C00580200");
}

void TestFrameShare::frameHeaderCarriesTheByteCount()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(QByteArray, header);
    const auto bytes = TelvMonitorThread::frameHeader(width, height);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size())), header);
}

void TestFrameShare::headerFieldsAreLittleEndianAtTheirOffsets()
{
    auto share = openFrameShare(testNames());
    QVERIFY(share);
    share->writeSize(480, 800);
    share->setStride(1984);
    QCOMPARE(headerBytes(*share), (Bytes{0xE0, 0x01, 0, 0, 0x20, 0x03, 0, 0, 36, 0, 0, 0, 0xC0, 0x07, 0, 0}));
    QCOMPARE(share->width(), 480);
    QCOMPARE(share->height(), 800);
    QCOMPARE(share->rate(), 36);
    QCOMPARE(share->stride(), 1984);
    // Negative values are kept as written, for the reader to refuse.
    share->setStride(-4);
    QCOMPARE(share->stride(), -4);
    QCOMPARE(headerBytes(*share)[15], uint8_t(0xFF));
}

void TestFrameShare::pictureFitsGuardsThePixelArea_data()
{
    QTest::addColumn<qint64>("stride");
    QTest::addColumn<qint64>("width");
    QTest::addColumn<qint64>("height");
    QTest::addColumn<bool>("fits");
    const qint64 area = qint64(kPixelAreaSize);
    QTest::newRow("tight rows") << qint64(3200) << qint64(800) << qint64(480) << true;
    QTest::newRow("padded rows") << qint64(3232) << qint64(800) << qint64(480) << true;
    QTest::newRow("one byte short of a row") << qint64(3199) << qint64(800) << qint64(480) << false;
    QTest::newRow("no stride yet") << qint64(0) << qint64(800) << qint64(480) << false;
    QTest::newRow("negative stride") << qint64(-3200) << qint64(800) << qint64(480) << false;
    QTest::newRow("exactly the area") << area / 16 << qint64(1) << qint64(16) << true;
    QTest::newRow("one row past the area") << area / 16 << qint64(1) << qint64(17) << false;
    QTest::newRow("huge stride") << qint64(INT32_MAX) << qint64(800) << qint64(480) << false;
    QTest::newRow("product past 32 bits") << qint64(0x10000) << qint64(800) << qint64(0x10001) << false;
    QTest::newRow("no width") << qint64(3200) << qint64(0) << qint64(480) << false;
    QTest::newRow("no height") << qint64(3200) << qint64(800) << qint64(0) << false;
}

void TestFrameShare::pictureFitsGuardsThePixelArea()
{
    QFETCH(qint64, stride);
    QFETCH(qint64, width);
    QFETCH(qint64, height);
    QFETCH(bool, fits);
    QCOMPARE(pictureFits(stride, width, height), fits);
}

void TestFrameShare::publishCopiesRowsThenSetsTheEvent()
{
    const FrameShareNames names = testNames();
    auto driver = openFrameShare(names);
    auto viewer = openFrameShare(names);
    QVERIFY(driver && viewer);
    QCOMPARE(waitFrame(*viewer, 0), FrameWait::TimedOut);
    const Bytes picture = monitortest::pattern(100, 50, 432, 3);
    QVERIFY(publishFrame(*driver, picture.data(), 432, 50));
    QCOMPARE(waitFrame(*viewer, 1000), FrameWait::Picture);
    QCOMPARE(viewer->stride(), 432);
    QVERIFY(std::memcmp(viewer->pixels(), picture.data(), picture.size()) == 0);
    // Not a byte more than stride x height.
    QCOMPARE(viewer->pixels()[picture.size()], uint8_t(0));
    QCOMPARE(waitFrame(*viewer, 50), FrameWait::TimedOut);
}

void TestFrameShare::publishRefusesPicturesPastTheShare()
{
    auto share = openFrameShare(testNames());
    const Bytes small(64, 0x11);
    QVERIFY(!publishFrame(*share, small.data(), 4096, 4096)); // 16 MiB
    QVERIFY(!publishFrame(*share, small.data(), -64, 1));
    QVERIFY(!publishFrame(*share, nullptr, 64, 1));
    QCOMPARE(share->stride(), 0);
    QCOMPARE(share->pixels()[0], uint8_t(0));
    QCOMPARE(waitFrame(*share, 0), FrameWait::TimedOut);
}

void TestFrameShare::secondOpenFindsTheExistingShare()
{
    const FrameShareNames names = testNames();
    auto first = openFrameShare(names);
    first->writeSize(1024, 600);
    first->pixels()[kPixelAreaSize - 1] = 0x77;
    auto second = openFrameShare(names);
    QVERIFY(second);
    QCOMPARE(second->width(), 1024);
    QCOMPARE(second->height(), 600);
    QCOMPARE(second->rate(), 24);
    QCOMPARE(second->pixels()[kPixelAreaSize - 1], uint8_t(0x77));
    second->event().set();
    QCOMPARE(waitFrame(*first, 0), FrameWait::Picture);
}

void TestFrameShare::closeReleasesTheShare()
{
    const FrameShareNames names = testNames();
    auto share = openFrameShare(names);
    QVERIFY(QFile::exists(QStringLiteral("/dev/shm/") + names.memory));
    closeFrameShare(share);
    QVERIFY(!share);
    QVERIFY(!QFile::exists(QStringLiteral("/dev/shm/") + names.memory));
    QVERIFY(!QFile::exists(QStringLiteral("/dev/shm/") + names.event));
    closeFrameShare(share); // twice is harmless
}

QTEST_GUILESS_MAIN(TestFrameShare)
#include "tst_frameshare.moc"
