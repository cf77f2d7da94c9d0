// The frame share's pictures turned into each panel's scan order as they
// are converted: every frame pixel must come from the picture pixel the
// turn puts there, for every kind of turn and odd sizes too.
#include "frameconvert.h"

#include <QTest>

#include <vector>

using screenlink::ScanOrder;
using session::FrameConverter;
using Turn = screenlink::ScanOrder;

namespace {

// A picture whose every pixel tells where it is: red and blue in steps
// that the 5-6-5 dither cannot move, green a coarser block number.
std::vector<uint8_t> positions(int w, int h, int stride)
{
    std::vector<uint8_t> p(size_t(stride) * size_t(h), 0xEE);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            uint8_t *px = p.data() + size_t(y) * size_t(stride) + size_t(x) * 4;
            px[0] = uint8_t((y % 32) << 3);                  // blue
            px[1] = uint8_t(((x / 32 + (y / 32) * 7) % 64) << 2); // green
            px[2] = uint8_t((x % 32) << 3);                  // red
            px[3] = 0xFF;
        }
    }
    return p;
}

struct Source {
    int x;
    int y;
};

// Where frame pixel (fx, fy) comes from, by the rules of the frame output.
Source sourceOf(Turn turn, int fx, int fy, int w, int h)
{
    switch (turn) {
    case Turn::AsIs: return {fx, fy};
    case Turn::TopToBottom: return {fx, h - 1 - fy};
    case Turn::HalfTurn: return {w - 1 - fx, h - 1 - fy};
    case Turn::QuarterTurn: return {fy, h - 1 - fx};
    case Turn::QuarterTurnBack: return {w - 1 - fy, fx};
    }
    return {0, 0};
}

} // namespace

class TestFrameConvert : public QObject {
    Q_OBJECT

private slots:
    void everyTurnPutsEachPixelInItsPlace_data();
    void everyTurnPutsEachPixelInItsPlace();
    void strideThatDoesNotFitIsRefused();
};

void TestFrameConvert::everyTurnPutsEachPixelInItsPlace_data()
{
    QTest::addColumn<int>("turn");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    const std::pair<const char *, Turn> turns[] = {{"as it is", Turn::AsIs},
                                                   {"top to bottom", Turn::TopToBottom},
                                                   {"half turn", Turn::HalfTurn},
                                                   {"quarter turn", Turn::QuarterTurn},
                                                   {"quarter turn back", Turn::QuarterTurnBack}};
    for (const auto &[name, turn] : turns) {
        QTest::newRow(qPrintable(QStringLiteral("%1, 800x480").arg(QLatin1String(name)))) << int(turn) << 800 << 480;
        QTest::newRow(qPrintable(QStringLiteral("%1, 37x19").arg(QLatin1String(name)))) << int(turn) << 37 << 19;
    }
}

void TestFrameConvert::everyTurnPutsEachPixelInItsPlace()
{
    QFETCH(int, turn);
    QFETCH(int, width);
    QFETCH(int, height);
    const int stride = width * 4 + 64; // padded rows, as drivers write them
    const std::vector<uint8_t> picture = positions(width, height, stride);
    FrameConverter converter(width, height, Turn(turn));
    std::vector<uint16_t> frame(size_t(width) * size_t(height), 0xDEAD);
    QVERIFY(converter.convert(picture.data(), stride, reinterpret_cast<uint8_t *>(frame.data())));
    const bool quarter = Turn(turn) == Turn::QuarterTurn || Turn(turn) == Turn::QuarterTurnBack;
    const int frameWidth = quarter ? height : width;
    const int frameHeight = quarter ? width : height;
    for (int fy = 0; fy < frameHeight; ++fy) {
        for (int fx = 0; fx < frameWidth; ++fx) {
            const uint16_t px = frame[size_t(fy) * size_t(frameWidth) + size_t(fx)];
            const Source s = sourceOf(Turn(turn), fx, fy, width, height);
            const int red = px >> 11;
            const int green = (px >> 5) & 0x3F;
            const int blue = px & 0x1F;
            const int greenWanted = (s.x / 32 + (s.y / 32) * 7) % 64;
            if (red != s.x % 32 || blue != s.y % 32 || green < greenWanted || green > greenWanted + 1)
                QFAIL(qPrintable(QStringLiteral("frame pixel %1,%2 is %3, not from picture pixel %4,%5")
                                     .arg(fx).arg(fy).arg(px, 4, 16).arg(s.x).arg(s.y)));
        }
    }
}

void TestFrameConvert::strideThatDoesNotFitIsRefused()
{
    FrameConverter converter(800, 480, Turn::QuarterTurn);
    std::vector<uint8_t> frame(800 * 480 * 2, 0x5A);
    const std::vector<uint8_t> picture(16);
    QVERIFY(!converter.convert(picture.data(), 800 * 4 - 1, frame.data()));
    QVERIFY(!converter.convert(picture.data(), int64_t(1) << 40, frame.data()));
    QVERIFY(std::all_of(frame.begin(), frame.end(), [](uint8_t b) { return b == 0x5A; }));
}

QTEST_APPLESS_MAIN(TestFrameConvert)
#include "tst_frameconvert.moc"
