// The logo merge: the official image's head and screen-type blocks, the
// customised image's logo block, padding and checksum.
#include "mergelogo.h"
#include "testimages.h"

#include <QTest>

using namespace fwimage;
using testimages::Bytes;
using testimages::ImageLayout;
using testimages::get32;
using testimages::put32;

Q_DECLARE_METATYPE(fwimage::Fault)
Q_DECLARE_METATYPE(fwimage::MergeInput)

namespace {

constexpr std::uint32_t OfficialPosition = 0x1200;
constexpr std::uint32_t CustomPosition = 0x1840;

Bytes officialImage(std::size_t block1 = 90, std::size_t block2 = 1500)
{
    ImageLayout layout;
    layout.position = OfficialPosition;
    layout.payloads = {testimages::pattern(block1, 0x01), testimages::pattern(block2, 0x02),
                     testimages::pattern(4000, 0x03)};
    layout.bootLength = 0x2EE0;
    layout.fill = 0x5C;
    return testimages::telvImage(layout);
}

Bytes customisedImage(std::size_t logoPayload, std::size_t size = 24576)
{
    ImageLayout layout;
    layout.size = size;
    layout.position = CustomPosition;
    layout.payloads = {testimages::pattern(300, 0x11), testimages::pattern(44, 0x12),
                     testimages::pattern(logoPayload, 0x13), testimages::pattern(20, 0x14)};
    layout.bootLength = 0x800;
    layout.fill = 0xC3;
    return testimages::telvImage(layout);
}

Bytes expectedMerge(const Bytes &official, const Bytes &customised)
{
    return testimages::handMerge(official, OfficialPosition, customised, CustomPosition);
}

} // namespace

class MergeLogoTest : public QObject {
    Q_OBJECT

private slots:
    void takesBlocksOneAndTwoFromOfficialAndThreeFromCustomised();
    void padsShortResultsWithFF();
    void resultOfExactlyTheBootRegionIsNotPadded();
    void largerResultsAreNeitherPaddedNorCut();
    void completesTheBootChecksum();
    void refusesChainsLeadingOutside_data();
    void refusesChainsLeadingOutside();
};

void MergeLogoTest::takesBlocksOneAndTwoFromOfficialAndThreeFromCustomised()
{
    const Bytes official = officialImage();
    const Bytes customised = customisedImage(6000);
    const MergeResult merged = mergeLogo(official, OfficialPosition, customised, CustomPosition);
    QVERIFY(merged.ok());
    QCOMPARE(merged.culprit, MergeInput::None);
    QVERIFY(merged.image == expectedMerge(official, customised));

    // Read the result's own chain: blocks 1 and 2 are the official ones,
    // block 3 is the customised logo.
    const Bytes &out = merged.image;
    const std::size_t b1 = OfficialPosition;
    const std::size_t b2 = testimages::blockStart(out, OfficialPosition, 1);
    const std::size_t b3 = testimages::blockStart(out, OfficialPosition, 2);
    QCOMPARE(get32(out, b1 + 4), 90u);
    QCOMPARE(get32(out, b2 + 4), 1500u);
    QCOMPARE(get32(out, b3 + 4), 6000u);
    const Bytes officialBlock2 = testimages::pattern(1500, 0x02);
    QVERIFY(std::equal(officialBlock2.begin(), officialBlock2.end(), out.begin() + std::ptrdiff_t(b2 + 8)));
    const Bytes logo = testimages::pattern(6000, 0x13);
    QVERIFY(std::equal(logo.begin(), logo.end(), out.begin() + std::ptrdiff_t(b3 + 8)));
    // The official header survives apart from the two fields rewritten.
    QVERIFY(std::equal(official.begin(), official.begin() + 12, out.begin()));
    QVERIFY(std::equal(official.begin() + 20, official.begin() + std::ptrdiff_t(b3), out.begin() + 20));
}

void MergeLogoTest::padsShortResultsWithFF()
{
    // Head and logo together come to 20000 bytes.
    const Bytes official = officialImage();
    const std::size_t headEnd = OfficialPosition + 98 + 1508;
    const Bytes customised = customisedImage(20000 - headEnd - 8);
    const MergeResult merged = mergeLogo(official, OfficialPosition, customised, CustomPosition);
    QVERIFY(merged.ok());
    QCOMPARE(merged.image.size(), std::size_t(24576));
    QVERIFY(std::all_of(merged.image.begin() + 20000, merged.image.end(), [](std::uint8_t b) { return b == 0xFF; }));
    QVERIFY(merged.image[19999] != 0xFF);
    QVERIFY(merged.image == expectedMerge(official, customised));
}

void MergeLogoTest::resultOfExactlyTheBootRegionIsNotPadded()
{
    const Bytes official = officialImage();
    const std::size_t headEnd = OfficialPosition + 98 + 1508;
    const Bytes customised = customisedImage(24576 - headEnd - 8, 40000);
    const MergeResult merged = mergeLogo(official, OfficialPosition, customised, CustomPosition);
    QVERIFY(merged.ok());
    QCOMPARE(merged.image.size(), std::size_t(24576));
    QVERIFY(merged.image == expectedMerge(official, customised));
}

void MergeLogoTest::largerResultsAreNeitherPaddedNorCut()
{
    const Bytes official = officialImage();
    const Bytes customised = customisedImage(30000, 60000);
    const MergeResult merged = mergeLogo(official, OfficialPosition, customised, CustomPosition);
    QVERIFY(merged.ok());
    QCOMPARE(merged.image.size(), std::size_t(OfficialPosition + 98 + 1508 + 30008));
    QVERIFY(merged.image == expectedMerge(official, customised));
    // The block after the logo is not carried over.
    QVERIFY(merged.image.back() == testimages::pattern(30000, 0x13).back());
}

void MergeLogoTest::completesTheBootChecksum()
{
    for (const std::uint32_t bootLength : {0x200u, 0x1234u, 0x5E01u, 0x6000u}) {
        Bytes official = officialImage();
        put32(official, 16, bootLength);
        const MergeResult merged = mergeLogo(official, OfficialPosition, customisedImage(2000), CustomPosition);
        QVERIFY(merged.ok());
        QCOMPARE(get32(merged.image, 16) % 512, 0u);
        QCOMPARE(get32(merged.image, 16), (bootLength + 511) / 512 * 512);
        QCOMPARE(get32(merged.image, 12), testimages::expectedChecksum(merged.image));
    }
}

void MergeLogoTest::refusesChainsLeadingOutside_data()
{
    QTest::addColumn<Bytes>("official");
    QTest::addColumn<Bytes>("customised");
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<MergeInput>("culprit");

    const Bytes official = officialImage();
    const Bytes customised = customisedImage(2000);
    const std::size_t customBlock2 = testimages::blockStart(customised, CustomPosition, 1);
    const std::size_t customBlock3 = testimages::blockStart(customised, CustomPosition, 2);
    const std::size_t officialBlock2 = testimages::blockStart(official, OfficialPosition, 1);

    Bytes logoTooLong = customised;
    put32(logoTooLong, customBlock3 + 4, 24576);
    QTest::newRow("customised block 3 past the end") << official << logoTooLong << Fault::BlockOutside
                                                     << MergeInput::Customised;
    Bytes customWrap = customised;
    put32(customWrap, customBlock2 + 4, std::uint32_t(0x100000000ull - 308 - 8));
    QTest::newRow("customised L1 + L2 wraps") << official << customWrap << Fault::BlockOutside
                                              << MergeInput::Customised;
    Bytes customL1 = customised;
    put32(customL1, CustomPosition + 4, 0xFFFFFFFF);
    QTest::newRow("customised L1 maximal") << official << customL1 << Fault::BlockOutside << MergeInput::Customised;

    Bytes officialLong = official;
    put32(officialLong, officialBlock2 + 4, 24576);
    QTest::newRow("official block 2 past the end") << officialLong << customised << Fault::BlockOutside
                                                   << MergeInput::Official;
    Bytes officialWrap = official;
    put32(officialWrap, OfficialPosition + 4, 0xFFFFFFF0);
    QTest::newRow("official L1 wraps") << officialWrap << customised << Fault::BlockOutside << MergeInput::Official;
    Bytes officialBoot = official;
    put32(officialBoot, 16, 0x6001);
    QTest::newRow("official boot length beyond the result") << officialBoot << customised
                                                            << Fault::BootLengthOutside << MergeInput::Official;
}

void MergeLogoTest::refusesChainsLeadingOutside()
{
    QFETCH(Bytes, official);
    QFETCH(Bytes, customised);
    QFETCH(Fault, fault);
    QFETCH(MergeInput, culprit);

    const MergeResult merged = mergeLogo(official, OfficialPosition, customised, CustomPosition);
    QCOMPARE(merged.fault, fault);
    QCOMPARE(merged.culprit, culprit);
    QVERIFY(merged.image.empty());
}

QTEST_APPLESS_MAIN(MergeLogoTest)
#include "tst_mergelogo.moc"
