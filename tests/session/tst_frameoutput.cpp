// Frame bytes for every kind of panel, checked against Qt's own transforms
// and against where marked pixels must land; centring, lead and touch
// decoding and mapping. No screen needed.
#include "desktoptouch.h"
#include "frameoutput.h"
#include "modeltable.h"
#include "platform.h"
#include "touchinput.h"

#include <QPainter>
#include <QTest>
#include <QTransform>

#include <cstring>
#include <vector>

#include <unistd.h>

using namespace session;
using screenlink::ScreenGeometry;

namespace {

ScreenGeometry panel(uint32_t size, int32_t variant)
{
    ScreenGeometry g;
    screenlink::applyModelTable(g, size, variant, QStringLiteral("x"));
    return g;
}

uint16_t pixelAt(const Frame &f, size_t index)
{
    return uint16_t(f.buffer[index * 2] | f.buffer[index * 2 + 1] << 8);
}

// Every pixel differs from its neighbours in both directions, and the top
// left corner has a colour no other pixel has.
QImage pattern(QSize size)
{
    QImage img(size, QImage::Format_RGB16);
    for (int y = 0; y < size.height(); ++y) {
        auto *row = reinterpret_cast<uint16_t *>(img.scanLine(y));
        for (int x = 0; x < size.width(); ++x)
            row[x] = uint16_t(1 + ((x * 7 + y * 131) % 0xFFFE));
    }
    reinterpret_cast<uint16_t *>(img.scanLine(0))[0] = 0xFFFF;
    return img;
}

} // namespace

class TestFrameOutput : public QObject {
    Q_OBJECT

private slots:
    void scanOrderOfEveryPanelKind_data();
    void scanOrderOfEveryPanelKind();
    void exactPictureIsCopiedPixelForPixel();
    void smallerPictureIsCentredOnWhite();
    void largerPictureIsCutOnAllSides();
    void transparencyShowsWhite();
    void olderFiveInchPanelsGetZeroLeadAndTwoSends();
    void redFillIsF800();
    void touchReportDecoding();
    void touchMappingRows_data();
    void touchMappingRows();
    void unknownCodeFollowsTheLastPanelsShape();
    void touchesOfPanelsTheTableDoesNotKnowStayOnTheScreen();
};

void TestFrameOutput::scanOrderOfEveryPanelKind_data()
{
    QTest::addColumn<uint>("size");
    QTest::addColumn<int>("variant");
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<int>("angle"); // 0: mirror rules
    QTest::addColumn<bool>("mirrorX");
    // Where the picture's top-left pixel lands in the frame.
    QTest::addColumn<qlonglong>("cornerIndex");
    QTest::newRow("4in, quarter turn") << 4u << 7 << QSize(800, 480) << 90 << false << qlonglong(479);
    QTest::newRow("4in square") << 4u << 12 << QSize(480, 480) << 90 << false << qlonglong(479);
    QTest::newRow("4in older, quarter turn") << 0x104u << -1 << QSize(800, 480) << 90 << false << qlonglong(479);
    QTest::newRow("4.3in, quarter turn") << 0x304u << 8 << QSize(800, 480) << 90 << false << qlonglong(479);
    QTest::newRow("5in TELV, quarter turn") << 5u << 3 << QSize(854, 480) << 90 << false << qlonglong(479);
    QTest::newRow("7.8in long, three quarters") << 0x807u << 0 << QSize(1280, 400) << 270 << false
                                                << qlonglong(1279 * 400);
    QTest::newRow("6.8in, mirror") << 7u << 6 << QSize(800, 480) << 0 << false << qlonglong(479 * 800);
    QTest::newRow("6.8in older, mirror") << 7u << 0 << QSize(800, 480) << 0 << false << qlonglong(479 * 800);
    QTest::newRow("10in, mirror") << 10u << 10 << QSize(1024, 600) << 0 << false << qlonglong(599 * 1024);
    QTest::newRow("10in older, mirror") << 10u << 0 << QSize(1024, 600) << 0 << false << qlonglong(599 * 1024);
    QTest::newRow("7in, half turn") << 8u << 0 << QSize(1024, 600) << 0 << true << qlonglong(1024 * 600 - 1);
    QTest::newRow("800x800 round") << 0x403u << 5 << QSize(800, 800) << 0 << true << qlonglong(800 * 800 - 1);
    QTest::newRow("before identification") << 0u << 0 << QSize(800, 480) << 0 << true << qlonglong(800 * 480 - 1);
}

void TestFrameOutput::scanOrderOfEveryPanelKind()
{
    QFETCH(uint, size);
    QFETCH(int, variant);
    QFETCH(QSize, picture);
    QFETCH(int, angle);
    QFETCH(bool, mirrorX);
    QFETCH(qlonglong, cornerIndex);

    const ScreenGeometry g = size ? panel(size, variant) : ScreenGeometry{};
    QCOMPARE(g.pictureSize(), picture);
    const QImage image = pattern(picture);
    const Frame f = buildFrame(image, g);
    QCOMPARE(f.count, uint32_t(picture.width() * picture.height() * 2));
    QCOMPARE(f.buffer.size(), size_t(f.count));
    QVERIFY(!f.sendTwice);
    QCOMPARE(pixelAt(f, size_t(cornerIndex)), uint16_t(0xFFFF));
    // Qt's transforms as the reference.
    const QImage expected = angle ? image.transformed(QTransform().rotate(angle), Qt::FastTransformation)
                                  : image.mirrored(mirrorX, true);
    QCOMPARE(expected.width() * expected.height(), picture.width() * picture.height());
    for (int y = 0; y < expected.height(); ++y) {
        const auto *row = reinterpret_cast<const uint16_t *>(expected.constScanLine(y));
        for (int x = 0; x < expected.width(); ++x)
            if (pixelAt(f, size_t(y) * size_t(expected.width()) + size_t(x)) != row[x])
                QFAIL(qPrintable(QStringLiteral("frame differs at %1,%2").arg(x).arg(y)));
    }
}

void TestFrameOutput::exactPictureIsCopiedPixelForPixel()
{
    const QImage picture = pattern(QSize(800, 480));
    const QImage rendered = renderPicture(picture.convertToFormat(QImage::Format_ARGB32), QSize(800, 480));
    QCOMPARE(rendered.format(), QImage::Format_RGB16);
    QCOMPARE(rendered, picture);
}

void TestFrameOutput::smallerPictureIsCentredOnWhite()
{
    QImage red(797, 477, QImage::Format_ARGB32);
    red.fill(Qt::red);
    const QImage out = renderPicture(red, QSize(800, 480));
    // (800 - 797) / 2 = 1: one white column on the left, two on the right.
    QCOMPARE(out.pixelColor(0, 100), QColor(Qt::white));
    QCOMPARE(out.pixelColor(1, 100), QColor(Qt::red));
    QCOMPARE(out.pixelColor(797, 100), QColor(Qt::red));
    QCOMPARE(out.pixelColor(798, 100), QColor(Qt::white));
    QCOMPARE(out.pixelColor(799, 100), QColor(Qt::white));
    QCOMPARE(out.pixelColor(100, 0), QColor(Qt::white));
    QCOMPARE(out.pixelColor(100, 1), QColor(Qt::red));
    QCOMPARE(out.pixelColor(100, 477), QColor(Qt::red));
    QCOMPARE(out.pixelColor(100, 478), QColor(Qt::white));
}

void TestFrameOutput::largerPictureIsCutOnAllSides()
{
    // A 2-pixel blue border around green: 804x484 on 800x480 loses exactly
    // the border on every side.
    QImage big(804, 484, QImage::Format_ARGB32);
    big.fill(Qt::blue);
    QPainter(&big).fillRect(2, 2, 800, 480, Qt::green);
    const QImage out = renderPicture(big, QSize(800, 480));
    for (const QPoint p : {QPoint(0, 0), QPoint(799, 0), QPoint(0, 479), QPoint(799, 479), QPoint(400, 240)})
        QCOMPARE(out.pixelColor(p), QColor(Qt::green));
}

void TestFrameOutput::transparencyShowsWhite()
{
    QImage clear(800, 480, QImage::Format_ARGB32);
    clear.fill(Qt::transparent);
    QPainter(&clear).fillRect(0, 0, 10, 10, Qt::black);
    const QImage out = renderPicture(clear, QSize(800, 480));
    QCOMPARE(out.pixelColor(5, 5), QColor(Qt::black));
    QCOMPARE(out.pixelColor(400, 240), QColor(Qt::white));
}

void TestFrameOutput::olderFiveInchPanelsGetZeroLeadAndTwoSends()
{
    QImage black(854, 480, QImage::Format_RGB16);
    black.fill(0x1234);
    for (int variant : {-1, 0}) {
        const Frame f = buildFrame(black, panel(5, variant));
        QCOMPARE(panel(5, variant).leadBytes(), 320);
        QVERIFY(f.sendTwice);
        QCOMPARE(f.count, uint32_t(854 * 480 * 2));
        QCOMPARE(f.buffer.size(), size_t(f.count) + 320);
        QVERIFY(std::all_of(f.buffer.begin(), f.buffer.begin() + 320, [](uint8_t b) { return b == 0; }));
        QCOMPARE(f.buffer[320], uint8_t(0x34));
    }
    // So does a 5-inch code whose variant no row names.
    QCOMPARE(panel(5, 1).leadBytes(), 320);
    QVERIFY(buildFrame(black, panel(5, 1)).sendTwice);
    const Frame telv = buildFrame(black, panel(5, 3));
    QCOMPARE(panel(5, 3).leadBytes(), 0);
    QVERIFY(!telv.sendTwice);
    QCOMPARE(telv.buffer.size(), size_t(telv.count));
}

void TestFrameOutput::redFillIsF800()
{
    QImage red(800, 480, QImage::Format_ARGB32);
    red.fill(Qt::red);
    const Frame f = buildFrame(renderPicture(red, QSize(800, 480)), panel(4, 7));
    QCOMPARE(f.count, 768000u);
    for (size_t i = 0; i < f.count; i += 2)
        if (f.buffer[i] != 0x00 || f.buffer[i + 1] != 0xF8)
            QFAIL("a pixel is not red");
}

void TestFrameOutput::touchReportDecoding()
{
    std::array<uint8_t, 14> r{};
    for (uint8_t flag : {0x00, 0x40, 0x80, 0xC0}) {
        r[3] = uint8_t(flag | 0x30 | 0x0F); // bits 5..4 set: ignored
        r[4] = 0xFF;
        r[5] = 0xF0 | 0x0F; // high nibble ignored
        r[6] = 0xFF;
        const auto t = decodeReport(r);
        QCOMPARE(t.x, 4095);
        QCOMPARE(t.y, 4095);
        QCOMPARE(t.t, flag == 0x40 ? 1 : 0);
    }
    r = {};
    r[0] = r[1] = r[2] = r[7] = r[13] = 0xFF; // other bytes play no part
    r[3] = 0x01;
    r[4] = 0x23;
    r[5] = 0x04;
    r[6] = 0x56;
    const auto t = decodeReport(r);
    QCOMPARE(t.x, 0x123);
    QCOMPARE(t.y, 0x456);
}

void TestFrameOutput::touchMappingRows_data()
{
    QTest::addColumn<uint>("size");
    QTest::addColumn<int>("variant");
    QTest::addColumn<int>("minor");
    QTest::addColumn<QSize>("sides"); // W x H, in the panel's own orientation
    QTest::addColumn<QPoint>("stored"); // for raw (100, 30)
    QTest::newRow("older 6.8in") << 7u << 0 << 0 << QSize(800, 480) << QPoint(700, 450);
    QTest::newRow("older landscape") << 10u << 0 << 0 << QSize(1024, 600) << QPoint(500, 994);
    QTest::newRow("round 0x403") << 0x403u << 5 << 0 << QSize(800, 800) << QPoint(700, 770);
    QTest::newRow("TELV 6.8in newer") << 7u << 6 << 17 << QSize(800, 480) << QPoint(700, 30);
    QTest::newRow("TELV 6.8in older") << 7u << 6 << 16 << QSize(800, 480) << QPoint(700, 450);
    QTest::newRow("10in") << 10u << 10 << 0 << QSize(1024, 600) << QPoint(100, 30);
    QTest::newRow("7in") << 8u << 0 << 0 << QSize(1024, 600) << QPoint(924, 570);
    QTest::newRow("7.8in long") << 0x807u << 0 << 0 << QSize(400, 1280) << QPoint(1250, 100);
    QTest::newRow("portrait") << 4u << 7 << 0 << QSize(480, 800) << QPoint(30, 380);
    // The firmware minor turns only the 6.8-inch TELV panel's map.
    QTest::newRow("portrait, newer firmware") << 4u << 7 << 17 << QSize(480, 800) << QPoint(30, 380);
    QTest::newRow("older 6.8in, newer firmware") << 7u << 0 << 17 << QSize(800, 480) << QPoint(700, 450);
}

void TestFrameOutput::touchMappingRows()
{
    QFETCH(uint, size);
    QFETCH(int, variant);
    QFETCH(int, minor);
    QFETCH(QSize, sides);
    QFETCH(QPoint, stored);
    const ScreenGeometry g = panel(size, variant);
    QVERIFY(g.model);
    QCOMPARE(QSize(g.panelWidth, g.panelHeight), sides);
    QCOMPARE(mapTouch(g, minor, 100, 30), stored);
}

void TestFrameOutput::unknownCodeFollowsTheLastPanelsShape()
{
    // A size code no row knows keeps the last panel's size and rotation:
    // a portrait panel stays turned a quarter, a landscape one a half, and
    // touches follow the older family's mounting for that shape.
    ScreenGeometry portrait = panel(4, 7);
    screenlink::applyModelTable(portrait, 0x999, 0, QStringLiteral("x"));
    QVERIFY(!portrait.model);
    QCOMPARE(portrait.scanOrder(), screenlink::ScanOrder::QuarterTurn);
    QCOMPARE(portrait.leadBytes(), 0);
    QCOMPARE(mapTouch(portrait, 0, 100, 30), QPoint(30, 380));
    const Frame turned = buildFrame(pattern(portrait.pictureSize()), portrait);
    QCOMPARE(pixelAt(turned, 479), uint16_t(0xFFFF));

    ScreenGeometry landscape = panel(10, 10);
    screenlink::applyModelTable(landscape, 0x999, 0, QStringLiteral("x"));
    QVERIFY(!landscape.model);
    QCOMPARE(landscape.scanOrder(), screenlink::ScanOrder::HalfTurn);
    QCOMPARE(mapTouch(landscape, 0, 100, 30), QPoint(500, 994));
    const Frame halfTurned = buildFrame(pattern(landscape.pictureSize()), landscape);
    QCOMPARE(pixelAt(halfTurned, 1024 * 600 - 1), uint16_t(0xFFFF));
}

void TestFrameOutput::touchesOfPanelsTheTableDoesNotKnowStayOnTheScreen()
{
    // Its mounting is a guess: a touch there could act anywhere.
    const std::string channel = platform::userObjectName("TAVRIK_TEST_touch_" + std::to_string(getpid()));
    const auto driver = monitor::TouchReceiver::open(channel);
    QVERIFY(driver);
    ScreenGeometry unknown = panel(7, 6);
    screenlink::applyModelTable(unknown, 0x999, 0, QStringLiteral("x"));
    QVERIFY(!unknown.model);
    const QPoint guessed = mapTouch(unknown, 0, 100, 500);
    QVERIFY(QRect(0, 0, 800, 480).contains(guessed));
    session::DesktopTouch(unknown, 0, QSize(800, 480), channel).forward({100, 500, 0});
    session::DesktopTouch(panel(7, 6), 0, QSize(1600, 960), channel).forward({100, 30, 1});
    const std::optional<monitor::Touch> first = driver->receive(5000);
    QVERIFY(first);
    // The known one, scaled to the picture the share is made at.
    QVERIFY(first->lifted);
    QCOMPARE(QPoint(first->x, first->y), mapTouch(panel(7, 6), 0, 100, 30) * 2);
}

QTEST_MAIN(TestFrameOutput)
#include "tst_frameoutput.moc"
