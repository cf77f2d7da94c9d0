// The device ID stamped into K2T/K5TX EEPROM images.
#include "eeprom.h"
#include "testimages.h"

#include <QTest>

#include <cstdlib>
#include <set>

using namespace fwimage;
using testimages::Bytes;

namespace {

// A moment given in local time, as the stamp reads it back.
std::time_t localMoment(int year, int month, int day, int hour, int minute, int second)
{
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

std::time_t utcMoment(std::tm t)
{
#ifdef _WIN32
    return _mkgmtime(&t);
#else
    return timegm(&t);
#endif
}

struct FixedSource {
    std::time_t moment;
    std::uint32_t draw;
    std::vector<std::time_t> seeds;

    DeviceIdSource source()
    {
        return DeviceIdSource{[this] { return moment; },
                              [this](std::time_t seed) {
                                  seeds.push_back(seed);
                                  return draw;
                              }};
    }
};

Bytes eepromImage()
{
    Bytes image = testimages::pattern(EepromSize, 0x42);
    image[0] = 0xC2;
    return image;
}

} // namespace

class EepromTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void stampsTheMomentAndARandomByte();
    void randomByteStaysBelow255_data();
    void randomByteStaysBelow255();
    void yearWrapsAt255AndDayIsOneHigher();
    void refusesImagesOfAnotherSize_data();
    void refusesImagesOfAnotherSize();
    void systemSourceIsNotTheClock();
    void takenIdsAreDrawnAgain();
    void textFormatsEightBytes();
};

void EepromTest::initTestCase()
{
    // A zone two hours ahead of UTC in summer, spelt out so that it needs
    // no time zone database.
    qputenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
    tzset();
}

void EepromTest::stampsTheMomentAndARandomByte()
{
    FixedSource fixed{localMoment(2026, 3, 7, 9, 5, 3), 1000, {}};
    Bytes image = eepromImage();
    const Bytes before = image;
    Result<DeviceId> stamped;
    const std::string printed =
        testimages::captureStdout([&] { stamped = stampDeviceId(image, fixed.source()); });
    QVERIFY(stamped.ok());

    const DeviceId expected{0x7E, 0x03, 0x08, 0x09, 0x05, 0x03, 0x00, std::uint8_t(1000 % 255)};
    QVERIFY(stamped.value == expected);
    QVERIFY(std::equal(expected.begin(), expected.end(), image.begin() + 0x1FF0));
    QCOMPARE(deviceIdText(stamped.value), std::string("7e03-0809-050300eb"));
    QVERIFY(printed.empty()); // the caller reports it, with the rest of its result
    // The generator was seeded with the moment of the stamp.
    QCOMPARE(fixed.seeds.size(), std::size_t(1));
    QCOMPARE(fixed.seeds[0], fixed.moment);

    // Nothing but the eight ID bytes changed.
    for (std::size_t i = 0; i < image.size(); ++i) {
        if (i < 0x1FF0 || i >= 0x1FF8)
            QCOMPARE(image[i], before[i]);
    }
}

void EepromTest::randomByteStaysBelow255_data()
{
    QTest::addColumn<quint32>("draw");
    QTest::addColumn<int>("stored");
    QTest::newRow("0") << 0u << 0;
    QTest::newRow("254") << 254u << 254;
    QTest::newRow("255") << 255u << 0;
    QTest::newRow("509") << 509u << 254;
    QTest::newRow("largest") << 0xFFFFFFFFu << 0;
    QTest::newRow("largest - 1") << 0xFFFFFFFEu << 254;
}

void EepromTest::randomByteStaysBelow255()
{
    QFETCH(quint32, draw);
    QFETCH(int, stored);
    FixedSource fixed{localMoment(2026, 3, 7, 9, 5, 3), draw, {}};
    Bytes image = eepromImage();
    testimages::captureStdout([&] { QVERIFY(stampDeviceId(image, fixed.source()).ok()); });
    QCOMPARE(int(image[0x1FF7]), stored);
}

void EepromTest::yearWrapsAt255AndDayIsOneHigher()
{
    FixedSource fixed{localMoment(2155, 12, 31, 23, 59, 58), 7, {}};
    Bytes image = eepromImage();
    Result<DeviceId> stamped;
    const std::string printed =
        testimages::captureStdout([&] { stamped = stampDeviceId(image, fixed.source()); });
    QVERIFY(stamped.ok());
    const DeviceId expected{0x00, 12, 32, 23, 59, 58, 0, 7};
    QVERIFY(stamped.value == expected);
    QCOMPARE(deviceIdText(stamped.value), std::string("000c-2017-3b3a0007"));
    QVERIFY(printed.empty());

    // 1 July 2026 10:00 UTC is 12:00 local summer time: the local hour is
    // stamped, not the UTC one.
    std::tm utc{};
    utc.tm_year = 126;
    utc.tm_mon = 6;
    utc.tm_mday = 1;
    utc.tm_hour = 10;
    FixedSource summer{utcMoment(utc), 0, {}};
    testimages::captureStdout([&] { stamped = stampDeviceId(image, summer.source()); });
    QCOMPARE(int(stamped.value[3]), 12);
    QCOMPARE(int(stamped.value[2]), 2);
}

void EepromTest::refusesImagesOfAnotherSize_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("8191") << 8191;
    QTest::newRow("8193") << 8193;
    QTest::newRow("empty") << 0;
    QTest::newRow("flash image") << 24576;
}

void EepromTest::refusesImagesOfAnotherSize()
{
    QFETCH(int, size);
    FixedSource fixed{localMoment(2026, 3, 7, 9, 5, 3), 1, {}};
    Bytes image = testimages::pattern(std::size_t(size), 3);
    const Bytes before = image;
    Result<DeviceId> stamped;
    const std::string printed =
        testimages::captureStdout([&] { stamped = stampDeviceId(image, fixed.source()); });
    QCOMPARE(stamped.fault, Fault::NotEeprom);
    QCOMPARE(printed, std::string());
    QVERIFY(image == before);
}

void EepromTest::systemSourceIsNotTheClock()
{
    // Screens stamped in the same second must not all share one ID: the
    // random byte is drawn anew, not from a generator seeded by the second.
    const DeviceIdSource system = systemDeviceIdSource();
    const std::time_t now = system.now();
    std::set<std::uint32_t> draws;
    for (int i = 0; i < 16; ++i)
        draws.insert(system.random(now) % 255);
    QVERIFY(draws.size() > 1);

    Bytes image = eepromImage();
    Result<DeviceId> stamped;
    testimages::captureStdout([&] { stamped = stampDeviceId(image); });
    QVERIFY(stamped.ok());
    QVERIFY(stamped.value[7] < 255);
    QCOMPARE(stamped.value[6], std::uint8_t(0));
    QVERIFY(stamped.value[1] >= 1 && stamped.value[1] <= 12);
    QVERIFY(stamped.value[2] >= 2 && stamped.value[2] <= 32);
}

void EepromTest::takenIdsAreDrawnAgain()
{
    // Every random byte but one is some attached screen's already.
    std::uint32_t next = 0;
    DeviceIdSource counting{[] { return localMoment(2026, 3, 7, 9, 5, 3); }, [&next](std::time_t) { return next++; }};
    Bytes image = eepromImage();
    Result<DeviceId> stamped;
    testimages::captureStdout(
        [&] { stamped = stampDeviceId(image, counting, [](const DeviceId &id) { return id[7] != 200; }); });
    QVERIFY(stamped.ok());
    QCOMPARE(stamped.value[7], std::uint8_t(200));
    QCOMPARE(image[DeviceIdOffset + 7], std::uint8_t(200));

    // All taken: refused, and the image is left as it was.
    const Bytes before = eepromImage();
    image = before;
    testimages::captureStdout([&] { stamped = stampDeviceId(image, counting, [](const DeviceId &) { return true; }); });
    QCOMPARE(stamped.fault, Fault::NoFreeDeviceId);
    QVERIFY(image == before);
}

void EepromTest::textFormatsEightBytes()
{
    QCOMPARE(deviceIdText(DeviceId{0x7E, 0x03, 0x08, 0x09, 0x05, 0x03, 0x00, 0xFE}), std::string("7e03-0809-050300fe"));
    QCOMPARE(deviceIdText(DeviceId{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), std::string("ffff-ffff-ffffffff"));
}

QTEST_APPLESS_MAIN(EepromTest)
#include "tst_eeprom.moc"
