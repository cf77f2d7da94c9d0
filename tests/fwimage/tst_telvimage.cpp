// Reading the boot header and the logo chain, and completing the boot
// checksum: every field an image supplies is checked before it is used.
#include "telvimage.h"
#include "testimages.h"

#include <QTest>

#include <limits>

using namespace fwimage;
using testimages::Bytes;
using testimages::ImageLayout;
using testimages::get32;
using testimages::put32;

Q_DECLARE_METATYPE(fwimage::Fault)

namespace {

Bytes threeBlockImage()
{
    ImageLayout layout;
    layout.payloads = {testimages::pattern(100, 1), testimages::pattern(260, 2), testimages::pattern(3000, 3)};
    return testimages::telvImage(layout);
}

} // namespace

class TelvImageTest : public QObject {
    Q_OBJECT

private slots:
    void wordsAreReadLittleEndianAndOnlyWhenWhole();
    void logoPositionWrapsAtTwoToTheThirtyTwo();
    void logoPositionNeedsThePointer();
    void acceptsAWellFormedImage();
    void refusesBrokenHeaders_data();
    void refusesBrokenHeaders();
    void walksTheBlockChain();
    void chainMayEndExactlyAtTheEnd();
    void refusesChainsLeadingOutside_data();
    void refusesChainsLeadingOutside();
    void bootRegionIsRoundedAndBounded_data();
    void bootRegionIsRoundedAndBounded();

    void prepareHandsBackTheSizeToProgram_data();
    void prepareHandsBackTheSizeToProgram();
    void prepareRefusesTinyImagesOnStandardOutput_data();
    void prepareRefusesTinyImagesOnStandardOutput();
    void prepareRoundsTheBootLengthAndCoversIt();
    void prepareOfAnEmptyBootRegion();
    void prepareOfZeroImageGivesSeedPlusLength();
    void prepareMatchesThePlainChecksum();
    void prepareIsRepeatable();
    void prepareRefusesBootLengthBeyondImage_data();
    void prepareRefusesBootLengthBeyondImage();
};

void TelvImageTest::wordsAreReadLittleEndianAndOnlyWhenWhole()
{
    const Bytes image{0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
    QCOMPARE(readWord(image, 0).value, 0x04030201u);
    QCOMPARE(readWord(image, 2).value, 0x06050403u);
    QVERIFY(readWord(image, 2).ok());
    QCOMPARE(readWord(image, 3).fault, Fault::ShortImage);
    QCOMPARE(readWord(image, 6).fault, Fault::ShortImage);
    QCOMPARE(readWord(image, 7).fault, Fault::ShortImage);
    QCOMPARE(readWord(image, std::numeric_limits<std::uint64_t>::max() - 1).fault, Fault::ShortImage);
    QCOMPARE(readWord(image, 0x100000002ull).fault, Fault::ShortImage);
    QCOMPARE(readWord(ByteView{}, 0).fault, Fault::ShortImage);
}

void TelvImageTest::logoPositionWrapsAtTwoToTheThirtyTwo()
{
    Bytes image(0x1000, 0);
    put32(image, 0xF0C, 0x120);
    QCOMPARE(logoPosition(image).value, 0x1030u);
    put32(image, 0xF0C, 0xFFFFFFFF);
    QCOMPARE(logoPosition(image).value, 0xF0Fu);
    put32(image, 0xF0C, 0xFFFFF0F0);
    QVERIFY(logoPosition(image).ok());
    QCOMPARE(logoPosition(image).value, 0u);
}

void TelvImageTest::logoPositionNeedsThePointer()
{
    QCOMPARE(logoPosition(Bytes(0xF0F, 0)).fault, Fault::ShortImage);
    QVERIFY(logoPosition(Bytes(0xF10, 0)).ok());
}

void TelvImageTest::acceptsAWellFormedImage()
{
    ImageLayout layout;
    layout.position = 0x1234;
    const Result<std::uint32_t> checked = checkTelvImage(testimages::telvImage(layout));
    QVERIFY(checked.ok());
    QCOMPARE(checked.value, 0x1234u);

    layout.size = 30000;
    QVERIFY(checkTelvImage(testimages::telvImage(layout)).ok());
}

void TelvImageTest::refusesBrokenHeaders_data()
{
    QTest::addColumn<Bytes>("image");
    QTest::addColumn<Fault>("fault");

    const Bytes good = testimages::telvImage(ImageLayout{});
    QTest::newRow("one byte short") << Bytes(good.begin(), good.end() - 1) << Fault::ShortImage;
    QTest::newRow("empty") << Bytes{} << Fault::ShortImage;
    Bytes shortAndBad(good.begin(), good.begin() + 100);
    shortAndBad[4] = 'X';
    QTest::newRow("length is tested first") << shortAndBad << Fault::ShortImage;
    for (int i = 0; i < 8; ++i) {
        Bytes bad = good;
        bad[std::size_t(i)] ^= 0x20;
        QTest::addRow("header byte %d", i) << bad << Fault::NotBootImage;
    }
    Bytes bigEndian = good;
    std::reverse(bigEndian.begin(), bigEndian.begin() + 4);
    QTest::newRow("branch word big-endian") << bigEndian << Fault::NotBootImage;
    Bytes wraps = good;
    put32(wraps, 0xF0C, 0xFFFFF0F0);
    QTest::newRow("logo position wraps to 0") << wraps << Fault::LogoAtZero;
}

void TelvImageTest::refusesBrokenHeaders()
{
    QFETCH(Bytes, image);
    QFETCH(Fault, fault);
    QCOMPARE(checkTelvImage(image).fault, fault);
}

void TelvImageTest::walksTheBlockChain()
{
    const Bytes image = threeBlockImage();
    const Result<std::vector<Block>> blocks = logoBlocks(image, 0x1000, 3);
    QVERIFY(blocks.ok());
    QCOMPARE(blocks.value.size(), std::size_t(3));
    QCOMPARE(blocks.value[0].offset, std::size_t(0x1000));
    QCOMPARE(blocks.value[0].size, std::size_t(108));
    QCOMPARE(blocks.value[1].offset, std::size_t(0x1000 + 108));
    QCOMPARE(blocks.value[1].size, std::size_t(268));
    QCOMPARE(blocks.value[2].offset, std::size_t(0x1000 + 108 + 268));
    QCOMPARE(blocks.value[2].size, std::size_t(3008));
    QCOMPARE(get32(image, blocks.value[2].offset), 0xB10C0003u);

    // Fewer blocks read no further: a broken fourth block does not matter.
    QVERIFY(logoBlocks(image, 0x1000, 0).ok());
    QCOMPARE(logoBlocks(image, 0x1000, 2).value.size(), std::size_t(2));
}

void TelvImageTest::chainMayEndExactlyAtTheEnd()
{
    ImageLayout layout;
    layout.position = 0x5000;
    layout.payloads = {testimages::pattern(16, 1), testimages::pattern(8, 2),
                     testimages::pattern(24576 - 0x5000 - 48, 3)};
    const Bytes image = testimages::telvImage(layout);
    const Result<std::vector<Block>> blocks = logoBlocks(image, layout.position, 3);
    QVERIFY(blocks.ok());
    QCOMPARE(blocks.value[2].end(), image.size());

    Bytes oneMore = image;
    put32(oneMore, blocks.value[2].offset + 4, get32(image, blocks.value[2].offset + 4) + 1);
    QCOMPARE(logoBlocks(oneMore, layout.position, 3).fault, Fault::BlockOutside);
}

void TelvImageTest::refusesChainsLeadingOutside_data()
{
    QTest::addColumn<Bytes>("image");
    QTest::addColumn<quint32>("position");
    QTest::addColumn<Fault>("fault");

    const Bytes good = threeBlockImage();
    const std::size_t second = 0x1000 + 108;
    const std::size_t third = second + 268;

    QTest::newRow("position beyond the image") << good << 0x7000u << Fault::LogoOutside;
    QTest::newRow("head cut by the end") << good << quint32(good.size() - 7) << Fault::LogoOutside;
    QTest::newRow("position just below 2^32") << good << 0xFFFFFFFCu << Fault::LogoOutside;

    Bytes longFirst = good;
    put32(longFirst, 0x1000 + 4, 0x6000);
    QTest::newRow("block 1 runs past the end") << longFirst << 0x1000u << Fault::BlockOutside;

    // L1 + 8 wraps round at 2^32 and would land back on block 1's head.
    Bytes wrapFirst = good;
    put32(wrapFirst, 0x1000 + 4, 0xFFFFFFF8);
    QTest::newRow("block 1 length wraps") << wrapFirst << 0x1000u << Fault::BlockOutside;

    // L1 + L2 wraps round so that block 3 would sit on block 1.
    Bytes wrapSum = good;
    put32(wrapSum, second + 4, std::uint32_t(0x100000000ull - 108 - 8));
    QTest::newRow("sum of lengths wraps") << wrapSum << 0x1000u << Fault::BlockOutside;

    Bytes longThird = good;
    put32(longThird, third + 4, 0xFFFFFFFF);
    QTest::newRow("block 3 length maximal") << longThird << 0x1000u << Fault::BlockOutside;

    // Block 2 ends 7 bytes before the end: block 3's head cannot be whole.
    ImageLayout tight;
    tight.position = 0x5000;
    tight.payloads = {testimages::pattern(16, 1), Bytes(24576 - 0x5000 - 24 - 8 - 7, 0)};
    QTest::newRow("block 3 head cut by the end")
        << testimages::telvImage(tight) << tight.position << Fault::BlockOutside;
}

void TelvImageTest::refusesChainsLeadingOutside()
{
    QFETCH(Bytes, image);
    QFETCH(quint32, position);
    QFETCH(Fault, fault);
    QCOMPARE(logoBlocks(image, position, 3).fault, fault);
}

void TelvImageTest::bootRegionIsRoundedAndBounded_data()
{
    QTest::addColumn<quint32>("bootLength");
    QTest::addColumn<int>("imageSize");
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<int>("region");

    QTest::newRow("0x1234") << 0x1234u << 24576 << Fault::None << 0x1400;
    QTest::newRow("already aligned") << 0x1400u << 24576 << Fault::None << 0x1400;
    QTest::newRow("zero") << 0u << 24576 << Fault::None << 0;
    QTest::newRow("one") << 1u << 24576 << Fault::None << 512;
    QTest::newRow("exactly the image") << 24576u << 24576 << Fault::None << 24576;
    QTest::newRow("rounds past the image") << 24577u << 24576 << Fault::BootLengthOutside << 0;
    QTest::newRow("rounds past a short image") << 0x201u << 1000 << Fault::BootLengthOutside << 0;
    QTest::newRow("would round to 0 in 32 bits") << 0xFFFFFFFFu << 24576 << Fault::BootLengthOutside << 0;
    QTest::newRow("field cut by the end") << 512u << 19 << Fault::ShortImage << 0;
}

void TelvImageTest::bootRegionIsRoundedAndBounded()
{
    QFETCH(quint32, bootLength);
    QFETCH(int, imageSize);
    QFETCH(Fault, fault);
    QFETCH(int, region);

    Bytes image(std::max(std::size_t(imageSize), std::size_t(20)), 0);
    put32(image, 16, bootLength);
    image.resize(std::size_t(imageSize));
    const Result<std::size_t> got = bootRegion(image);
    QCOMPARE(got.fault, fault);
    if (got.ok())
        QCOMPARE(got.value, std::size_t(region));
}

void TelvImageTest::prepareHandsBackTheSizeToProgram_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("handedBack");

    QTest::newRow("97") << 97 << 512;
    QTest::newRow("512") << 512 << 512;
    QTest::newRow("513") << 513 << 1024;
    QTest::newRow("20000") << 20000 << 20480;
    QTest::newRow("24064") << 24064 << 24064;
    QTest::newRow("24065") << 24065 << 24576;
    QTest::newRow("24576") << 24576 << 24576;
    QTest::newRow("24577") << 24577 << 24576;
    QTest::newRow("largest") << std::numeric_limits<int>::max() << 24576;
}

void TelvImageTest::prepareHandsBackTheSizeToProgram()
{
    QFETCH(int, size);
    QFETCH(int, handedBack);

    Bytes image(24576, 0);
    put32(image, 16, 512);
    const Result<std::int32_t> prepared = prepareImage(image, size);
    QVERIFY(prepared.ok());
    QCOMPARE(int(prepared.value), handedBack);
}

void TelvImageTest::prepareRefusesTinyImagesOnStandardOutput_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("96") << 96;
    QTest::newRow("1") << 1;
    QTest::newRow("0") << 0;
    QTest::newRow("negative") << -1;
    QTest::newRow("most negative") << std::numeric_limits<int>::min();
}

void TelvImageTest::prepareRefusesTinyImagesOnStandardOutput()
{
    QFETCH(int, size);

    Bytes image = testimages::pattern(1024, 9);
    put32(image, 16, 512);
    const Bytes before = image;
    Result<std::int32_t> prepared;
    const std::string printed = testimages::captureStdout([&] { prepared = prepareImage(image, size); });
    QCOMPARE(prepared.fault, Fault::TooSmall);
    QCOMPARE(printed, std::string("incorrect firmware.\n"));
    QVERIFY(image == before);

    // The first accepted size prints nothing.
    const std::string quiet = testimages::captureStdout([&] { prepared = prepareImage(image, 97); });
    QVERIFY(prepared.ok());
    QCOMPARE(quiet, std::string());
}

void TelvImageTest::prepareRoundsTheBootLengthAndCoversIt()
{
    Bytes image = testimages::pattern(24576, 4);
    put32(image, 16, 0x1234);
    Bytes prepared = image;
    QVERIFY(prepareImage(prepared, 24576).ok());
    QCOMPARE(get32(prepared, 16), 0x1400u);
    QCOMPARE(get32(prepared, 12), testimages::expectedChecksum(prepared));

    // Only the header words and nothing else changed.
    for (std::size_t i = 0; i < image.size(); ++i) {
        if (i < 12 || i >= 20)
            QCOMPARE(prepared[i], image[i]);
    }

    // The last word inside the rounded length counts, the first outside not.
    Bytes inside = image;
    inside[0x13FF] ^= 0xFF;
    QVERIFY(prepareImage(inside, 24576).ok());
    QVERIFY(get32(inside, 12) != get32(prepared, 12));
    QCOMPARE(get32(inside, 12), testimages::expectedChecksum(inside));

    Bytes outside = image;
    outside[0x1400] ^= 0xFF;
    QVERIFY(prepareImage(outside, 24576).ok());
    QCOMPARE(get32(outside, 12), get32(prepared, 12));
}

void TelvImageTest::prepareOfAnEmptyBootRegion()
{
    Bytes image = testimages::pattern(1024, 5);
    put32(image, 16, 0);
    QVERIFY(prepareImage(image, 1024).ok());
    QCOMPARE(get32(image, 16), 0u);
    QCOMPARE(get32(image, 12), 0u);
}

void TelvImageTest::prepareOfZeroImageGivesSeedPlusLength()
{
    Bytes image(24576, 0);
    put32(image, 16, 512);
    QVERIFY(prepareImage(image, 24576).ok());
    QCOMPARE(get32(image, 12), 0x5F0A6E39u);
    QCOMPARE(get32(image, 12), testimages::expectedChecksum(image));
    QCOMPARE(get32(image, 16), 512u);
}

void TelvImageTest::prepareMatchesThePlainChecksum()
{
    for (std::uint8_t seed = 0; seed < 8; ++seed) {
        Bytes image = testimages::pattern(32768, seed);
        const std::uint32_t bootLength = 97u + seed * 4093u;
        put32(image, 16, bootLength);
        QVERIFY(prepareImage(image, 32768).ok());
        QCOMPARE(get32(image, 16) % 512, 0u);
        QVERIFY(get32(image, 16) >= bootLength);
        QVERIFY(get32(image, 16) < bootLength + 512);
        QCOMPARE(get32(image, 12), testimages::expectedChecksum(image));
    }
}

void TelvImageTest::prepareIsRepeatable()
{
    // An image that already carries a checksum gets the same one again: the
    // old value must not leak into the new sum.
    Bytes image = testimages::pattern(24576, 6);
    put32(image, 16, 0x3000);
    QVERIFY(prepareImage(image, 24576).ok());
    const Bytes once = image;
    QVERIFY(prepareImage(image, 24576).ok());
    QVERIFY(image == once);
}

void TelvImageTest::prepareRefusesBootLengthBeyondImage_data()
{
    QTest::addColumn<quint32>("bootLength");
    QTest::newRow("one block too many") << 0x6001u;
    QTest::newRow("far beyond") << 0x7FFFFFFFu;
    QTest::newRow("would round to 0") << 0xFFFFFE01u;
}

void TelvImageTest::prepareRefusesBootLengthBeyondImage()
{
    QFETCH(quint32, bootLength);

    Bytes image = testimages::pattern(24576, 7);
    put32(image, 16, bootLength);
    const Bytes before = image;
    QCOMPARE(prepareImage(image, 24576).fault, Fault::BootLengthOutside);
    QVERIFY(image == before);
}

QTEST_APPLESS_MAIN(TelvImageTest)
#include "tst_telvimage.moc"
