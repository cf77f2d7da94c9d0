// Carrying a screen's own block 1 into a new firmware image, as the
// upgrade of a running screen assembles it before programming.
#include "splice.h"
#include "testimages.h"

#include <QTest>

using namespace fwimage;
using testimages::Bytes;
using testimages::ImageLayout;
using testimages::get32;
using testimages::put32;

namespace {

// Flash as a running screen gives it back, with its own screen block.
Bytes screenFlash(std::uint32_t position, std::size_t blockPayload)
{
    ImageLayout layout;
    layout.position = position;
    layout.payloads = {testimages::pattern(blockPayload, 0x51), testimages::pattern(50, 0x52)};
    layout.fill = 0xA5;
    return testimages::telvImage(layout);
}

// A firmware file whose block 1 takes `ownPayload` bytes and whose length
// makes the assembled image `total` bytes once a block of `screenBlock`
// bytes replaces it.
Bytes firmwareFile(std::size_t total, std::size_t ownPayload, std::size_t screenBlock, std::uint32_t position = 0x1000)
{
    ImageLayout layout;
    layout.position = position;
    layout.size = total - screenBlock + ownPayload + 8;
    layout.payloads = {testimages::pattern(ownPayload, 0x11), testimages::pattern(700, 0x12)};
    layout.bootLength = 0x1234;
    Bytes file = testimages::telvImage(layout);
    const Bytes tail = testimages::pattern(file.size() - (position + ownPayload + 8 + 708), 0x13);
    std::copy(tail.begin(), tail.end(), file.end() - std::ptrdiff_t(tail.size()));
    return file;
}

// The assembled image the way the upgrade describes it, built by hand.
Bytes handAssembled(const Bytes &file, ByteView block, std::uint32_t position)
{
    const std::size_t ownEnd = position + 8 + get32(file, position + 4);
    Bytes out;
    out.reserve(file.size() + block.size());
    out.insert(out.end(), file.begin(), file.begin() + position);
    out.insert(out.end(), block.begin(), block.end());
    out.insert(out.end(), file.begin() + std::ptrdiff_t(ownEnd), file.end());
    return out;
}

} // namespace

class SpliceTest : public QObject {
    Q_OBJECT

private slots:
    void screenBlockIsBlockOneOfTheFlash();
    void screenBlockMustLieInsideTheFlash();
    void replacesBlockOneAndKeepsTheRest();
    void writeLengthFollowsTheAssembledLength_data();
    void writeLengthFollowsTheAssembledLength();
    void longFilesAreCutAtTheBuffer();
    void refusesFilesWhoseBlockOneLeadsOutside_data();
    void refusesFilesWhoseBlockOneLeadsOutside();
    void refusesBlocksThatOverflowTheBuffer();
    void refusesTinyAssembledImages();
    void bootLengthBeyondTheAssembledBytesCoversErasedFlash();
};

void SpliceTest::screenBlockIsBlockOneOfTheFlash()
{
    const Bytes flash = screenFlash(0x2345, 300);
    const Result<ByteView> block = screenBlock(flash);
    QVERIFY(block.ok());
    QCOMPARE(block.value.size(), std::size_t(308));
    QCOMPARE(block.value.data(), flash.data() + 0x2345);
    QCOMPARE(get32(flash, 0x2345), 0xB10C0001u);
}

void SpliceTest::screenBlockMustLieInsideTheFlash()
{
    Bytes flash = screenFlash(0x2345, 300);
    put32(flash, 0x2345 + 4, 24576);
    QCOMPARE(screenBlock(flash).fault, Fault::BlockOutside);
    put32(flash, 0xF0C, 0x7000);
    QCOMPARE(screenBlock(flash).fault, Fault::LogoOutside);
    QCOMPARE(screenBlock(ByteView(flash).first(0xF0E)).fault, Fault::ShortImage);
}

void SpliceTest::replacesBlockOneAndKeepsTheRest()
{
    const Bytes flash = screenFlash(0x2000, 400);
    const ByteView block = screenBlock(flash).value;
    const Bytes file = firmwareFile(30000, 120, block.size());

    const Result<AssembledImage> assembled = spliceScreenBlock(block, file);
    QVERIFY(assembled.ok());
    const AssembledImage &out = assembled.value;
    QCOMPARE(out.buffer.size(), ImageBufferSize);
    QCOMPARE(out.totalLength, 30000u);

    Bytes expected = handAssembled(file, block, 0x1000);
    QCOMPARE(expected.size(), std::size_t(30000));
    put32(expected, 16, 0x1400);
    put32(expected, 12, testimages::expectedChecksum(expected));
    QVERIFY(std::equal(expected.begin(), expected.end(), out.buffer.begin()));
    QVERIFY(std::all_of(out.buffer.begin() + 30000, out.buffer.end(), [](std::uint8_t b) { return b == 0xFF; }));

    // Block 1 of the result is the screen's block, block 2 the file's.
    const Bytes result(out.buffer.begin(), out.buffer.begin() + 30000);
    QCOMPARE(get32(result, 0x1000 + 4), 400u);
    QCOMPARE(get32(result, testimages::blockStart(result, 0x1000, 1) + 4), 700u);
    QCOMPARE(get32(result, testimages::blockStart(result, 0x1000, 1)), 0xB10C0002u);
}

void SpliceTest::writeLengthFollowsTheAssembledLength_data()
{
    QTest::addColumn<int>("total");
    QTest::addColumn<int>("writeLength");

    QTest::newRow("30000 rounded up to 16") << 30000 << 30000;
    QTest::newRow("30001 rounded up to 16") << 30001 << 30016;
    QTest::newRow("20000 rounded up to 512") << 20000 << 20480;
    QTest::newRow("24064 rounded up to 512") << 24064 << 24064;
    QTest::newRow("24065 fills the boot region") << 24065 << 24080;
    QTest::newRow("24576") << 24576 << 24576;
    QTest::newRow("6000 rounded up to 512") << 6000 << 6144;
}

void SpliceTest::writeLengthFollowsTheAssembledLength()
{
    QFETCH(int, total);
    QFETCH(int, writeLength);

    const Bytes flash = screenFlash(0x2000, 64);
    const ByteView block = screenBlock(flash).value;
    const Bytes file = firmwareFile(std::size_t(total), 200, block.size());
    const Result<AssembledImage> assembled = spliceScreenBlock(block, file);
    QVERIFY(assembled.ok());
    QCOMPARE(int(assembled.value.totalLength), total);
    QCOMPARE(int(assembled.value.writeLength), writeLength);
    const Bytes head(assembled.value.buffer.begin(), assembled.value.buffer.begin() + 0x2000);
    QCOMPARE(get32(head, 12), testimages::expectedChecksum(head));
}

void SpliceTest::longFilesAreCutAtTheBuffer()
{
    const Bytes flash = screenFlash(0x2000, 64);
    const ByteView block = screenBlock(flash).value;
    // The file's block 1 is longer than the screen's, so the cut file
    // still fits the buffer after the splice.
    Bytes file = firmwareFile(ImageBufferSize + 4096 - 208 + 72, 200, block.size());
    QCOMPARE(file.size(), ImageBufferSize + 4096);
    file.back() = 0x5A;

    const Result<AssembledImage> assembled = spliceScreenBlock(block, file);
    QVERIFY(assembled.ok());
    const std::size_t expectedTotal = ImageBufferSize - 208 + 72;
    QCOMPARE(std::size_t(assembled.value.totalLength), expectedTotal);
    const Bytes cut(file.begin(), file.begin() + std::ptrdiff_t(ImageBufferSize));
    Bytes expected = handAssembled(cut, block, 0x1000);
    QCOMPARE(expected.size(), expectedTotal);
    put32(expected, 16, 0x1400);
    put32(expected, 12, testimages::expectedChecksum(expected));
    QVERIFY(std::equal(expected.begin(), expected.end(), assembled.value.buffer.begin()));
    QCOMPARE(assembled.value.buffer.size(), ImageBufferSize);
    QVERIFY(std::all_of(assembled.value.buffer.begin() + std::ptrdiff_t(expectedTotal), assembled.value.buffer.end(),
                        [](std::uint8_t b) { return b == 0xFF; }));
    QCOMPARE(assembled.value.writeLength, std::uint32_t((expectedTotal + 15) / 16 * 16));
}

void SpliceTest::refusesFilesWhoseBlockOneLeadsOutside_data()
{
    QTest::addColumn<Bytes>("file");
    QTest::addColumn<Fault>("fault");

    const Bytes good = firmwareFile(30000, 120, 72);
    Bytes longBlock = good;
    put32(longBlock, 0x1000 + 4, 30000);
    QTest::newRow("block 1 past the end") << longBlock << Fault::BlockOutside;
    Bytes wraps = good;
    put32(wraps, 0x1000 + 4, 0xFFFFFFF8);
    QTest::newRow("n + e wraps") << wraps << Fault::BlockOutside;
    Bytes farPosition = good;
    put32(farPosition, 0xF0C, 0x80000000);
    QTest::newRow("logo position beyond the file") << farPosition << Fault::LogoOutside;
    QTest::newRow("no logo pointer") << Bytes(good.begin(), good.begin() + 0xF0F) << Fault::ShortImage;
    QTest::newRow("empty file") << Bytes{} << Fault::ShortImage;
}

void SpliceTest::refusesFilesWhoseBlockOneLeadsOutside()
{
    QFETCH(Bytes, file);
    QFETCH(Fault, fault);
    const Bytes flash = screenFlash(0x2000, 64);
    QCOMPARE(spliceScreenBlock(screenBlock(flash).value, file).fault, fault);
}

void SpliceTest::refusesBlocksThatOverflowTheBuffer()
{
    // A downloaded block is not bounded by the flash read: one that would
    // push the image past 1 MiB must be refused, not written past the end.
    const Bytes file = firmwareFile(ImageBufferSize - 100, 100, 108);
    const Bytes fits(108 + 100, 0x77);
    QVERIFY(spliceScreenBlock(fits, file).ok());
    const Bytes overflows(108 + 101, 0x77);
    QCOMPARE(spliceScreenBlock(overflows, file).fault, Fault::TooLarge);
}

void SpliceTest::refusesTinyAssembledImages()
{
    // Block 1 starts at 8 (the pointer wraps) and takes the whole file: with
    // a bare 8-byte screen block the image shrinks to 16 bytes.
    Bytes file(0x2000, 0);
    put32(file, 0xF0C, std::uint32_t(8 - 0xF10));
    put32(file, 8 + 4, 0x2000 - 16);
    const Bytes block(8, 0x33);
    Result<AssembledImage> assembled;
    const std::string printed = testimages::captureStdout([&] { assembled = spliceScreenBlock(block, file); });
    QCOMPARE(assembled.fault, Fault::TooSmall);
    QCOMPARE(printed, std::string("incorrect firmware.\n"));
}

void SpliceTest::bootLengthBeyondTheAssembledBytesCoversErasedFlash()
{
    // A screen block 600 bytes shorter than the file's own, in a file whose
    // boot length covers its whole 24 KiB: the assembled image ends before
    // the boot length, and the checksum counts the 0xFF that erased flash
    // holds there.
    const Bytes flash = screenFlash(0x2000, 100);
    const ByteView block = screenBlock(flash).value;
    Bytes file = firmwareFile(BootRegionSize - 600, 700, block.size());
    QCOMPARE(file.size(), BootRegionSize);
    put32(file, 16, std::uint32_t(BootRegionSize));

    const Result<AssembledImage> assembled = spliceScreenBlock(block, file);
    QVERIFY(assembled.ok());
    const AssembledImage &out = assembled.value;
    QCOMPARE(std::size_t(out.totalLength), BootRegionSize - 600);
    QCOMPARE(std::size_t(out.checksumLength), BootRegionSize);
    QCOMPARE(out.writeLength, std::uint32_t(BootRegionSize - 512));
    Bytes expected = handAssembled(file, block, 0x1000);
    expected.resize(BootRegionSize, 0xFF);
    put32(expected, 12, testimages::expectedChecksum(expected));
    QVERIFY(std::equal(expected.begin(), expected.end(), out.buffer.begin()));

    // A boot length past the whole buffer is still refused.
    put32(file, 16, std::uint32_t(ImageBufferSize + 1));
    QCOMPARE(spliceScreenBlock(block, file).fault, Fault::BootLengthOutside);
}

QTEST_APPLESS_MAIN(SpliceTest)
#include "tst_splice.moc"
