// The screen model on its own: what a screen answers to each request, with
// no USB in between.
#include "model/firmware.h"
#include "model/screenmodel.h"

#include <QTest>

#include <cctype>

using namespace sim;

namespace {

using Bytes = std::vector<uint8_t>;

Reply out(ScreenModel &m, uint8_t request, const Bytes &data)
{
    Setup s{0x40, request, 0, 0, uint16_t(data.size())};
    return m.control(s, data.data(), data.size());
}

Reply in(ScreenModel &m, uint8_t request, uint16_t length)
{
    Setup s{0xC0, request, 0, 0, length};
    return m.control(s, nullptr, 0);
}

// A whole bridge read: command, status, data; returns the bytes read.
Bytes bridgeRead(ScreenModel &m, const Bytes &command, bool withStatus = true)
{
    out(m, 0xB5, command);
    if (withStatus)
        in(m, 0xB6, 1);
    Reply r = in(m, 0xB7, uint16_t(command[2] + 1));
    return Bytes(r.data.begin() + 1, r.data.end());
}

uint32_t le32(const Bytes &b, size_t at = 0)
{
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

const Preset &preset(const char *name)
{
    const Preset *p = findPreset(name);
    if (!p)
        qFatal("no preset %s", name);
    return *p;
}

// A whole bridge write: command, then its status.
Reply bridgeWrite(ScreenModel &m, const Bytes &command)
{
    Reply r = out(m, 0xB5, command);
    in(m, 0xB6, 1);
    return r;
}

Bytes flashProgram(uint32_t address, const Bytes &data)
{
    Bytes cmd{0x51, uint8_t(data.size() + 3), 0x00, uint8_t(address >> 16), uint8_t(address >> 8), uint8_t(address)};
    cmd.insert(cmd.end(), data.begin(), data.end());
    cmd.resize(54, 0);
    return cmd;
}

// A boot-loader request with its address split over wValue and wIndex.
Reply bootOut(ScreenModel &m, uint8_t request, uint32_t address, const Bytes &data)
{
    Setup s{0x40, request, uint16_t(address), uint16_t(address >> 16), uint16_t(data.size())};
    return m.control(s, data.data(), data.size());
}

Reply bootIn(ScreenModel &m, uint8_t request, uint32_t address, uint16_t length)
{
    Setup s{0xC0, request, uint16_t(address), uint16_t(address >> 16), length};
    return m.control(s, nullptr, 0);
}

// Erases the sectors an image covers and programs it, as a flashing tool does.
void bootProgram(ScreenModel &m, const Bytes &image)
{
    for (size_t at = 0; at < image.size(); at += ScreenModel::kFlashSector)
        QCOMPARE(bootOut(m, 0x51, uint32_t(at), {}).kind, Reply::Kind::Done);
    for (size_t at = 0; at < image.size(); at += ScreenModel::kBootChunk) {
        const size_t n = std::min(ScreenModel::kBootChunk, image.size() - at);
        const Bytes chunk(image.begin() + ptrdiff_t(at), image.begin() + ptrdiff_t(at + n));
        QCOMPARE(bootOut(m, 0x52, uint32_t(at), chunk).kind, Reply::Kind::Done);
    }
}

} // namespace

class TestScreenModel : public QObject {
    Q_OBJECT

private slots:
    void presetsCoverEveryModelRowWithTheirCodes();
    void identificationStringEndsWithZeroAndFitsTheRequest();
    void bridgeReadsConfigurationWithAndWithoutStatusStep();
    void flashObeysNorRules();
    void eraseStepsClearTheirOwnSixteenth();
    void eepromLinesNeedProgrammingMode();
    void frameHeaderCountsBulkBytesAcrossTransfers();
    void bulkWithoutHeaderIsCountedAsThroughput();
    void newHeaderAbandonsUnfinishedFrame();
    void screenCommandsSetFlipAndBacklight();
    void malformedRequestsStall();
    void logReadOutFollowsOffsets();
    void ledControllerPagesAndAutoIncrement();
    void interleavedBridgeTransactionIsRefused();
    void faultsShapeTheReplies();
    void rebootComesBackRunningOrInBootLoader();
    void telvIdentityIsPerUnitAndReportedOnlyByItsBootLoader();
    void bootLoadersAnswerOnlyTheirOwnRequests();
    void telvBootLoaderRefusesRangesOutsideFlash();
    void telvBootLoaderProgramsOnlyErasedCells();
    void telvBootLoaderResetBootsOnlyValidFlash();
    void k2tBootLoaderWritesEepromThatBootsAtPowerUp();
    void bootLoaderRequestsPassThroughFaults();
    void shownPictureUndoesEachMounting();
    void touchReportsCarryPositionAndFlag();
    void rawTouchInvertsTheHostMapping();
};

void TestScreenModel::presetsCoverEveryModelRowWithTheirCodes()
{
    // Every row of the model table, by size and variant code.
    const std::vector<std::pair<uint32_t, int32_t>> rows = {
        {4, 2},      {4, 7},      {4, 12},     {4, 5},      {5, -1},     {5, 0},
        {5, 3},      {5, 1},      {7, 6},      {7, 0},      {8, 0},      {10, 10},
        {10, 0},     {0x104, -1}, {0x104, 0},  {0x104, 1},  {0x104, 2},  {0x304, 8},
        {0x304, 0},  {0x403, 5},  {0x403, 0},  {0x807, 0},  {0x99, 0}};
    for (const auto &[size, variant] : rows) {
        bool found = false;
        for (const Preset &p : presets()) {
            if (p.sizeCode != size || p.variantCode != variant)
                continue;
            found = true;
            ScreenModel m(p);
            QCOMPARE(m.sizeCode(), size);
            QCOMPARE(m.variantCode(), variant);
            // The codes come back through the bridge as a host reads them.
            QCOMPARE(le32(bridgeRead(m, {0x51, 0x02, 0x04, 0x1F, 0xFC})), size);
            QCOMPARE(int32_t(le32(bridgeRead(m, {0x51, 0x02, 0x04, 0x1F, 0xF8}))), variant);
        }
        QVERIFY2(found, qPrintable(QStringLiteral("no preset for size %1 variant %2").arg(size).arg(variant)));
    }
    QCOMPARE(preset("7.8in-long-telv").pictureWidth(), 1280);
    QCOMPARE(preset("7.8in-long-telv").pictureHeight(), 400);
    QCOMPARE(preset("6.8in-telv").firmwareMinor(), 18);
    QVERIFY(debugIdent(preset("6.8in-telv").ident).find("DEBUG") != std::string::npos);
}

void TestScreenModel::identificationStringEndsWithZeroAndFitsTheRequest()
{
    ScreenModel m(preset("6.8in-telv"));
    m.setIdent("abc");
    Reply r = in(m, 0xA0, 64);
    QCOMPARE(r.data, (Bytes{'a', 'b', 'c', 0}));

    m.setIdent(std::string(100, 'x'));
    QCOMPARE(in(m, 0xA0, 64).data.size(), size_t(64));
    QCOMPARE(in(m, 0xA0, 10).data.size(), size_t(10));
}

void TestScreenModel::bridgeReadsConfigurationWithAndWithoutStatusStep()
{
    ScreenModel m(preset("6.8in-telv"), 0x0102);
    const auto id = m.deviceId();
    const Bytes withStatus = bridgeRead(m, {0x51, 0x02, 0x08, 0x1F, 0xF0});
    const Bytes withoutStatus = bridgeRead(m, {0x51, 0x02, 0x08, 0x1F, 0xF0}, false);
    QCOMPARE(withStatus, Bytes(id.begin(), id.end()));
    QCOMPARE(withoutStatus, withStatus);
    QCOMPARE(id[6], uint8_t(0x01));
    QCOMPARE(id[7], uint8_t(0x02));

    // Flash read: three address bytes, 48 bytes back, no status step.
    const Bytes head = bridgeRead(m, {0x51, 0x03, 0x30, 0x00, 0x00, 0x00}, false);
    QCOMPARE(head.size(), size_t(48));
    QCOMPARE(head[0], uint8_t(0x16));
    const Bytes flash = m.flash();
    QCOMPARE(head, Bytes(flash.begin(), flash.begin() + 48));

    // Nobody at another address: the status byte says so.
    out(m, 0xB5, {0x22, 0x01, 0x00, 0x00});
    QVERIFY(in(m, 0xB6, 1).data.at(0) != 0);
}

void TestScreenModel::flashObeysNorRules()
{
    ScreenModel m(preset("6.8in-telv"));
    const Bytes pattern(48, 0xA5);

    // Outside programming mode the flash does not change.
    const Bytes before = m.flash();
    bridgeWrite(m, flashProgram(0x40000, pattern));
    QCOMPARE(m.flash(), before);
    QCOMPARE(m.rejectedWrites(), uint64_t(1));

    out(m, 0xB9, {0xEF});
    QVERIFY(m.programming());
    // Erased region (0xFF) takes the bytes as they are.
    bridgeWrite(m, flashProgram(0x40000, pattern));
    QCOMPARE(m.flash()[0x40000], uint8_t(0xA5));
    // Programming again without erasing can only clear bits: A5 & 5A = 00.
    bridgeWrite(m, flashProgram(0x40000, Bytes(48, 0x5A)));
    QCOMPARE(m.flash()[0x40000], uint8_t(0x00));
    QCOMPARE(m.flash()[0x4002F], uint8_t(0x00));

    // The count byte decides how many of the 54 bytes are written.
    bridgeWrite(m, flashProgram(0x50000, Bytes(5, 0x11)));
    QCOMPARE(m.flash()[0x50004], uint8_t(0x11));
    QCOMPARE(m.flash()[0x50005], uint8_t(0xFF));
    out(m, 0xB9, {0x00});
    QVERIFY(!m.programming());
}

void TestScreenModel::eraseStepsClearTheirOwnSixteenth()
{
    ScreenModel m(preset("4in-telv"));
    const size_t part = ScreenModel::kFlashSize / 16;
    // Without programming mode an erase does nothing.
    out(m, 0xBE, {0xEE, 0x00});
    QCOMPARE(m.flash()[0], uint8_t(0x16));
    QCOMPARE(m.eraseSteps(), uint64_t(0));

    out(m, 0xB9, {0xEF});
    bridgeWrite(m, flashProgram(uint32_t(part * 3), Bytes(48, 0x00)));
    bridgeWrite(m, flashProgram(uint32_t(part * 4), Bytes(48, 0x00)));
    out(m, 0xBE, {0xEE, 0x00});
    const Bytes f = m.flash();
    QVERIFY(std::all_of(f.begin(), f.begin() + ptrdiff_t(part), [](uint8_t b) { return b == 0xFF; }));
    QCOMPARE(f[part * 3], uint8_t(0x00)); // other steps untouched
    out(m, 0xBE, {0xEE, 0x03});
    QCOMPARE(m.flash()[part * 3], uint8_t(0xFF));
    QCOMPARE(m.flash()[part * 4], uint8_t(0x00));
    QCOMPARE(m.eraseSteps(), uint64_t(2));
    // Step index beyond 15 is refused.
    QCOMPARE(out(m, 0xBE, {0xEE, 16}).kind, Reply::Kind::Stall);
}

void TestScreenModel::eepromLinesNeedProgrammingMode()
{
    ScreenModel m(preset("6.8in-k2t"));
    QCOMPARE(m.config()[0], uint8_t(0xC2));
    Bytes line{0x51, 0x12, 0x00, 0x1F, 0xF0};
    const Bytes id{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    line.insert(line.end(), id.begin(), id.end());
    QCOMPARE(line.size(), size_t(21));

    bridgeWrite(m, line);
    QVERIFY(m.deviceId()[0] != 1);

    out(m, 0xB9, {0xEF});
    bridgeWrite(m, line);
    out(m, 0xB9, {0x00});
    QCOMPARE(m.deviceId()[0], uint8_t(1));
    QCOMPARE(m.deviceId()[7], uint8_t(8));
    // EEPROM bytes are replaced, not ANDed as flash would.
    QCOMPARE(m.sizeCode(), uint32_t(0x100F0E0D));
}

void TestScreenModel::frameHeaderCountsBulkBytesAcrossTransfers()
{
    ScreenModel m(preset("6.8in-telv"));
    const uint32_t count = 800 * 480 * 2;
    QCOMPARE(out(m, 0xB0, {0x00, 0x29}).kind, Reply::Kind::Done);
    QCOMPARE(out(m, 0xB0, {0x00, 0x2C, 0x00, 0xB8, 0x0B, 0x00}).kind, Reply::Kind::Done);
    Bytes frame(count);
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = uint8_t(i * 31 + (i >> 11));
    // Split as a host without scatter-gather would: 16 KiB pieces.
    for (size_t at = 0; at < frame.size(); at += 16384) {
        const size_t n = std::min<size_t>(16384, frame.size() - at);
        QCOMPARE(m.bulkOut(0x02, frame.data() + at, n).accepted, uint32_t(n));
        QCOMPARE(m.frameSerial(), uint64_t(at + n == frame.size() ? 1 : 0));
    }
    QCOMPARE(m.lastFrame(), frame);
    const FrameStats s = m.frameStats();
    QCOMPARE(s.displayOn, uint64_t(1));
    QCOMPARE(s.headers, uint64_t(1));
    QCOMPARE(s.framesComplete, uint64_t(1));
    QCOMPARE(s.rawBulkTransfers, uint64_t(0));

    // Bytes past the announced count are not part of the frame.
    out(m, 0xB0, {0x00, 0x2C, 0x04, 0x00, 0x00, 0x00});
    const Bytes six{1, 2, 3, 4, 5, 6};
    m.bulkOut(0x02, six.data(), six.size());
    QCOMPARE(m.lastFrame(), (Bytes{1, 2, 3, 4}));
    QCOMPARE(m.frameStats().overrunBytes, uint64_t(2));
}

void TestScreenModel::bulkWithoutHeaderIsCountedAsThroughput()
{
    ScreenModel m(preset("6.8in-telv"));
    const Bytes zeros(768000, 0);
    for (int i = 0; i < 3; ++i)
        m.bulkOut(0x02, zeros.data(), zeros.size());
    const FrameStats s = m.frameStats();
    QCOMPARE(s.rawBulkTransfers, uint64_t(3));
    QCOMPARE(s.rawBulkBytes, uint64_t(3 * 768000));
    QCOMPARE(s.framesComplete, uint64_t(0));
    // Only endpoint 0x02 takes data.
    QCOMPARE(m.bulkOut(0x01, zeros.data(), 10).kind, Reply::Kind::Stall);
}

void TestScreenModel::newHeaderAbandonsUnfinishedFrame()
{
    ScreenModel m(preset("6.8in-telv"));
    out(m, 0xB0, {0x00, 0x2C, 0x10, 0x00, 0x00, 0x00});
    const Bytes part(8, 0xAA);
    m.bulkOut(0x02, part.data(), part.size());
    out(m, 0xB0, {0x00, 0x2C, 0x04, 0x00, 0x00, 0x00});
    const Bytes four{9, 9, 9, 9};
    m.bulkOut(0x02, four.data(), four.size());
    QCOMPARE(m.lastFrame(), four);
    QCOMPARE(m.frameStats().framesAbandoned, uint64_t(1));
    QCOMPARE(m.frameStats().framesComplete, uint64_t(1));
}

void TestScreenModel::screenCommandsSetFlipAndBacklight()
{
    ScreenModel m(preset("6.8in-telv"));
    QVERIFY(!m.flip().has_value());
    out(m, 0xB0, {0x00, 0x36, 0x02, 0x00, 0x00, 0x00, 0x03, 0x03});
    QCOMPARE(m.flip().value_or(-1), 3);
    out(m, 0xB0, {0x00, 0x51, 0x02, 0x00, 0x00, 0x00, 0xFF, 0x00});
    QCOMPARE(m.backlight().value_or(-1), 255);
    out(m, 0xB0, {0x00, 0x51, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00});
    QCOMPARE(m.backlight().value_or(-1), 0);
}

void TestScreenModel::malformedRequestsStall()
{
    ScreenModel m(preset("6.8in-telv"));
    QCOMPARE(out(m, 0xB0, {0x00, 0x36, 0x02}).kind, Reply::Kind::Stall);      // short flip
    QCOMPARE(out(m, 0xB0, {0x00, 0x2C, 0, 0, 0, 0}).kind, Reply::Kind::Stall); // empty frame
    QCOMPARE(out(m, 0xAA, {0x00}).kind, Reply::Kind::Stall);                   // reboot needs 0xE5
    QCOMPARE(out(m, 0xB9, {0x12}).kind, Reply::Kind::Stall);
    QCOMPARE(out(m, 0xB5, {0x51, 0x05, 0x00, 0x1F}).kind, Reply::Kind::Stall); // shorter than its count
    QCOMPARE(in(m, 0xAA, 1).kind, Reply::Kind::Stall);                          // wrong direction
    QCOMPARE(out(m, 0x42, {}).kind, Reply::Kind::Stall);                        // unknown request
    Setup standard{0x80, 0x06, 0x0100, 0, 18};
    QCOMPARE(m.control(standard, nullptr, 0).kind, Reply::Kind::Stall);
    Setup withValue{0xC0, 0xA0, 1, 0, 64};
    QCOMPARE(m.control(withValue, nullptr, 0).kind, Reply::Kind::Stall);
    // A stall does not change the state.
    QVERIFY(!m.takeRebootRequest());
    QVERIFY(!m.programming());
}

void TestScreenModel::logReadOutFollowsOffsets()
{
    ScreenModel m(preset("6.8in-telv"));
    Bytes log(100);
    for (size_t i = 0; i < log.size(); ++i)
        log[i] = uint8_t('A' + i % 26);
    m.setLog(log);
    QCOMPARE(le32(in(m, 0xA7, 4).data), uint32_t(100));

    Bytes read;
    for (uint32_t off = 0; off < 100; off += 64) {
        out(m, 0xA5, {uint8_t(off), uint8_t(off >> 8), uint8_t(off >> 16), uint8_t(off >> 24)});
        const Reply r = in(m, 0xA6, 64);
        QCOMPARE(r.data.size(), size_t(64));
        read.insert(read.end(), r.data.begin(), r.data.end());
    }
    QCOMPARE(Bytes(read.begin(), read.begin() + 100), log);
    QVERIFY(std::all_of(read.begin() + 100, read.end(), [](uint8_t b) { return b == 0; }));

    // A lying screen reports a length of its choosing.
    m.setReportedLogLength(-5);
    QCOMPARE(int32_t(le32(in(m, 0xA7, 4).data)), -5);
    m.setReportedLogLength(1 << 20);
    QCOMPARE(le32(in(m, 0xA7, 4).data), uint32_t(1 << 20));
}

void TestScreenModel::ledControllerPagesAndAutoIncrement()
{
    ScreenModel m(preset("6.8in-telv"));
    auto write8 = [&](uint8_t reg, const Bytes &data) {
        Bytes cmd{0x74, uint8_t(data.size() + 1), 0x00, reg};
        cmd.insert(cmd.end(), data.begin(), data.end());
        out(m, 0xB5, cmd);
        in(m, 0xB6, 1);
    };
    write8(0xFD, {0x0B});
    write8(0x0A, {0x01});
    QCOMPARE(m.ledPage(), uint8_t(0x0B));
    QCOMPARE(m.ledRegister(0x0B, 0x0A), uint8_t(0x01));
    QCOMPARE(m.ledRegister(0x00, 0x0A), uint8_t(0x00));

    write8(0xFD, {0x00});
    write8(0x24, Bytes(16, 0xFF));
    QCOMPARE(m.ledRegister(0x00, 0x24), uint8_t(0xFF));
    QCOMPARE(m.ledRegister(0x00, 0x33), uint8_t(0xFF));
    QCOMPARE(m.ledRegister(0x00, 0x34), uint8_t(0x00));
    // The register number wraps at 256.
    write8(0xFE, {0x11, 0x22, 0x33});
    QCOMPARE(m.ledRegister(0x00, 0xFE), uint8_t(0x11));
    QCOMPARE(m.ledRegister(0x00, 0xFF), uint8_t(0x22));
    QCOMPARE(m.ledRegister(0x00, 0x00), uint8_t(0x33));
    // Registers read back through the bridge.
    QCOMPARE(bridgeRead(m, {0x74, 0x01, 0x02, 0x24}), (Bytes{0xFF, 0xFF}));
}

void TestScreenModel::interleavedBridgeTransactionIsRefused()
{
    ScreenModel m(preset("6.8in-telv"));
    // A read whose data was never fetched, then another command.
    out(m, 0xB5, {0x51, 0x02, 0x04, 0x1F, 0xFC});
    in(m, 0xB6, 1);
    QCOMPARE(out(m, 0xB5, {0x74, 0x02, 0x00, 0xFD, 0x00}).kind, Reply::Kind::Stall);
    QCOMPARE(m.interleavedTransactions(), uint64_t(1));
    // The refused command abandoned the old transaction: the next one works.
    QCOMPARE(out(m, 0xB5, {0x74, 0x02, 0x00, 0xFD, 0x00}).kind, Reply::Kind::Done);
    in(m, 0xB6, 1);
    // Whole transactions of every shape pass: write, read, flash read.
    bridgeRead(m, {0x51, 0x02, 0x08, 0x1F, 0xF0});
    bridgeRead(m, {0x51, 0x03, 0x30, 0x00, 0x00, 0x00}, false);
    out(m, 0xB5, {0x74, 0x02, 0x00, 0x00, 0x01});
    in(m, 0xB6, 1);
    out(m, 0xB5, {0x74, 0x02, 0x00, 0x00, 0x01});
    QCOMPARE(m.interleavedTransactions(), uint64_t(1));
    // A status request the host could not finish ends the transaction.
    Faults f;
    f.failEvery = 1;
    m.setFaults(f);
    in(m, 0xB6, 1);
    m.setFaults({});
    QCOMPARE(out(m, 0xB5, {0x74, 0x02, 0x00, 0x00, 0x01}).kind, Reply::Kind::Done);
    QCOMPARE(m.interleavedTransactions(), uint64_t(1));
}

void TestScreenModel::faultsShapeTheReplies()
{
    ScreenModel m(preset("6.8in-telv"));
    Faults f;
    f.silent = true;
    m.setFaults(f);
    QCOMPARE(in(m, 0xA0, 64).kind, Reply::Kind::Silent);
    QCOMPARE(out(m, 0xB9, {0xEF}).kind, Reply::Kind::Silent);
    QVERIFY(!m.programming()); // a silent screen does nothing
    m.injectTouch(10, 10, 0);
    QVERIFY(!m.takeTouchReport().has_value());

    f = {};
    f.shortReply = 3;
    f.delayMs = 25;
    m.setFaults(f);
    Reply r = in(m, 0xA0, 64);
    QCOMPARE(r.data.size(), size_t(3));
    QCOMPARE(r.delayMs, 25);
    QVERIFY(m.takeTouchReport().has_value()); // queued while silent, served now

    f = {};
    f.failEvery = 3;
    m.setFaults(f);
    std::vector<Reply::Kind> kinds;
    for (int i = 0; i < 6; ++i)
        kinds.push_back(in(m, 0xB6, 1).kind);
    QCOMPARE(std::count(kinds.begin(), kinds.end(), Reply::Kind::Stall), 2);

    f = {};
    f.bulkAccept = 100;
    m.setFaults(f);
    const Bytes data(500, 0);
    QCOMPARE(m.bulkOut(0x02, data.data(), data.size()).accepted, uint32_t(100));
}

void TestScreenModel::rebootComesBackRunningOrInBootLoader()
{
    ScreenModel telv(preset("6.8in-telv"));
    QVERIFY(telvImageBootable(telv.flash()));
    QCOMPARE(out(telv, 0xAA, {0xE5}).kind, Reply::Kind::Done);
    QVERIFY(telv.takeRebootRequest());
    QVERIFY(!telv.takeRebootRequest());
    telv.powerUp();
    QCOMPARE(telv.mode(), Mode::Running);

    // One flipped bit inside the boot length breaks the checksum.
    Bytes flash = telv.flash();
    flash[0x100] ^= 0x01;
    telv.setFlash(flash);
    telv.powerUp();
    QCOMPARE(telv.mode(), Mode::TelvBootLoader);
    QCOMPARE(telv.usbId(), kTelvBootId);
    QCOMPARE(in(telv, 0xA0, 64).kind, Reply::Kind::Stall);

    ScreenModel k2t(preset("5in-k2t-m50a"));
    k2t.setConfig(0, {0x00});
    k2t.powerUp();
    QCOMPARE(k2t.usbId(), kK2tBootId);
    k2t.setConfig(0, {0xC2});
    k2t.powerUp();
    QCOMPARE(k2t.usbId(), kRunningId);
}

void TestScreenModel::telvIdentityIsPerUnitAndReportedOnlyByItsBootLoader()
{
    ScreenModel a(preset("4in-telv"), 7);
    ScreenModel sameUnit(preset("6.8in-telv"), 7);
    ScreenModel b(preset("4in-telv"), 8);
    const std::string id = a.telvIdentity();
    QCOMPARE(id.size(), size_t(24));
    QVERIFY(std::all_of(id.begin(), id.end(), [](char c) { return std::isdigit(uint8_t(c)) || (c >= 'A' && c <= 'F'); }));
    QCOMPARE(id, makeTelvIdentity(7));
    QCOMPARE(sameUnit.telvIdentity(), id);
    QVERIFY(b.telvIdentity() != id);
    QVERIFY(ScreenModel(preset("5in-k2t-m50a"), 7).telvIdentity().empty());

    // The running firmware does not know the request.
    QCOMPARE(bootIn(a, 0x50, 0, 64).kind, Reply::Kind::Stall);
    a.setMode(Mode::TelvBootLoader);
    Reply r = bootIn(a, 0x50, 0, 64);
    QCOMPARE(r.kind, Reply::Kind::Done);
    QCOMPARE(std::string(r.data.begin(), r.data.end()), id);
    QCOMPARE(bootIn(a, 0x50, 0, 10).data.size(), size_t(10));

    a.setTelvIdentity("0123456789ABCDEF01234567");
    r = bootIn(a, 0x50, 0, 64);
    QCOMPARE(std::string(r.data.begin(), r.data.end()), std::string("0123456789ABCDEF01234567"));
    a.setTelvIdentity(std::string(100, 'Z')); // never more than one request carries
    QCOMPARE(bootIn(a, 0x50, 0, 255).data.size(), size_t(64));
}

void TestScreenModel::bootLoadersAnswerOnlyTheirOwnRequests()
{
    ScreenModel telv(preset("4in-telv"));
    const Bytes flash = telv.flash();
    // Running: boot-loader requests stall and change nothing.
    QCOMPARE(bootOut(telv, 0x51, 0, {}).kind, Reply::Kind::Stall);
    QCOMPARE(bootOut(telv, 0x52, 0, {0x00}).kind, Reply::Kind::Stall);
    QCOMPARE(bootIn(telv, 0x53, 0, 16).kind, Reply::Kind::Stall);
    QCOMPARE(bootOut(telv, 0x54, 0, {}).kind, Reply::Kind::Stall);
    QCOMPARE(bootOut(telv, 0x60, 0, {0x00}).kind, Reply::Kind::Stall);
    QCOMPARE(telv.flash(), flash);
    QVERIFY(!telv.takeRebootRequest());

    // In its boot loader the firmware's requests stall, and so do the other family's.
    telv.setMode(Mode::TelvBootLoader);
    QCOMPARE(in(telv, 0xA0, 64).kind, Reply::Kind::Stall);
    QCOMPARE(out(telv, 0xAA, {0xE5}).kind, Reply::Kind::Stall);
    QCOMPARE(out(telv, 0xB9, {0xEF}).kind, Reply::Kind::Stall);
    QCOMPARE(bootOut(telv, 0x60, 0, {0x00}).kind, Reply::Kind::Stall);
    QCOMPARE(bootIn(telv, 0x61, 0, 16).kind, Reply::Kind::Stall);
    QCOMPARE(bootIn(telv, 0x53, 0, 16).kind, Reply::Kind::Done);
    // Standard and wrong-direction requests are not the loader's either.
    Setup standard{0x80, 0x06, 0x0100, 0, 18};
    QCOMPARE(telv.control(standard, nullptr, 0).kind, Reply::Kind::Stall);
    QCOMPARE(bootIn(telv, 0x51, 0, 1).kind, Reply::Kind::Stall);
    QCOMPARE(bootOut(telv, 0x53, 0, {0x00}).kind, Reply::Kind::Stall);
    QVERIFY(!telv.takeRebootRequest());

    ScreenModel k2t(preset("5in-k2t-m50a"));
    const Bytes eeprom = k2t.config();
    QCOMPARE(bootOut(k2t, 0x60, 0, {0x00}).kind, Reply::Kind::Stall);
    QCOMPARE(bootIn(k2t, 0x61, 0, 64).kind, Reply::Kind::Stall);
    QCOMPARE(k2t.config(), eeprom);
    k2t.setMode(Mode::K2tBootLoader);
    QCOMPARE(in(k2t, 0xA0, 64).kind, Reply::Kind::Stall);
    QCOMPARE(bootIn(k2t, 0x50, 0, 64).kind, Reply::Kind::Stall);
    QCOMPARE(bootOut(k2t, 0x54, 0, {}).kind, Reply::Kind::Stall);
    QCOMPARE(bootIn(k2t, 0x61, 0, 64).data, Bytes(eeprom.begin(), eeprom.begin() + 64));
    QVERIFY(!k2t.takeRebootRequest());
}

void TestScreenModel::telvBootLoaderRefusesRangesOutsideFlash()
{
    ScreenModel m(preset("4in-telv"));
    m.setMode(Mode::TelvBootLoader);
    const uint32_t size = uint32_t(ScreenModel::kFlashSize);
    const uint32_t lastSector = size - 4096;
    const Bytes before = m.flash();

    // Erase: whole sectors inside the flash, no data.
    QCOMPARE(bootOut(m, 0x51, lastSector, {}).kind, Reply::Kind::Done);
    QCOMPARE(bootOut(m, 0x51, size, {}).kind, Reply::Kind::Stall);
    QCOMPARE(bootOut(m, 0x51, 0x1000000, {}).kind, Reply::Kind::Stall); // only wIndex set
    QCOMPARE(bootOut(m, 0x51, 0x800, {}).kind, Reply::Kind::Stall);     // mid-sector
    QCOMPARE(bootOut(m, 0x51, 0x1000, {0x00}).kind, Reply::Kind::Stall);
    // Program: 1-4096 bytes, all inside.
    QCOMPARE(bootOut(m, 0x52, size - 16, Bytes(16, 0x00)).kind, Reply::Kind::Done);
    QCOMPARE(bootOut(m, 0x52, size - 15, Bytes(16, 0x00)).kind, Reply::Kind::Stall);
    QCOMPARE(bootOut(m, 0x52, size, Bytes(1, 0x00)).kind, Reply::Kind::Stall);
    QCOMPARE(bootOut(m, 0x52, 0xFFFFFFFF, Bytes(1, 0x00)).kind, Reply::Kind::Stall);
    QCOMPARE(bootOut(m, 0x52, 0x10000, Bytes(4097, 0x00)).kind, Reply::Kind::Stall);
    QCOMPARE(bootOut(m, 0x52, 0x10000, {}).kind, Reply::Kind::Stall);
    // Read: likewise.
    QCOMPARE(bootIn(m, 0x53, size - 4096, 4096).data.size(), size_t(4096));
    QCOMPARE(bootIn(m, 0x53, size - 4095, 4096).kind, Reply::Kind::Stall);
    QCOMPARE(bootIn(m, 0x53, 0, 4097).kind, Reply::Kind::Stall);
    QCOMPARE(bootIn(m, 0x53, 0, 0).kind, Reply::Kind::Stall);
    // A reset carries nothing.
    QCOMPARE(bootOut(m, 0x54, 1, {}).kind, Reply::Kind::Stall);
    QCOMPARE(bootOut(m, 0x54, 0, {0xE5}).kind, Reply::Kind::Stall);
    QVERIFY(!m.takeRebootRequest());

    // Only the accepted erase and program changed the flash.
    Bytes expected = before;
    std::fill(expected.end() - 4096, expected.end(), uint8_t(0xFF));
    std::fill(expected.end() - 16, expected.end(), uint8_t(0x00));
    QVERIFY(m.flash() == expected);
}

void TestScreenModel::telvBootLoaderProgramsOnlyErasedCells()
{
    ScreenModel m(preset("4in-telv"));
    m.setMode(Mode::TelvBootLoader);
    const Bytes before = m.flash();
    QCOMPARE(before[0], uint8_t(0x16));

    // Without an erase the old bits stay cleared: 0x16 & 0xE9 = 0x00.
    QCOMPARE(bootOut(m, 0x52, 0, {0xE9}).kind, Reply::Kind::Done);
    QCOMPARE(m.flash()[0], uint8_t(0x00));

    // An erase clears exactly its own sector.
    QCOMPARE(bootOut(m, 0x51, 0x1000, {}).kind, Reply::Kind::Done);
    const Bytes erased = m.flash();
    QCOMPARE(erased[0x0FFF], before[0x0FFF]);
    QVERIFY(std::all_of(erased.begin() + 0x1000, erased.begin() + 0x2000, [](uint8_t b) { return b == 0xFF; }));
    QCOMPARE(erased[0x2000], before[0x2000]);

    // Erased cells take what is written, and it reads back.
    Bytes data(4096);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 5 + 3);
    QCOMPARE(bootOut(m, 0x52, 0x1000, data).accepted, uint32_t(4096));
    QCOMPARE(bootIn(m, 0x53, 0x1000, 4096).data, data);

    // A cell that fails to take its value reads back wrong.
    bootOut(m, 0x51, 0x1000, {});
    m.corruptNextProgramAt(0x1234, 0x10);
    bootOut(m, 0x52, 0x1000, data);
    const Bytes back = bootIn(m, 0x53, 0x1000, 4096).data;
    QCOMPARE(back[0x234], uint8_t(data[0x234] ^ 0x10));
    size_t differing = 0;
    for (size_t i = 0; i < back.size(); ++i)
        differing += back[i] != data[i];
    QCOMPARE(differing, size_t(1));
}

void TestScreenModel::telvBootLoaderResetBootsOnlyValidFlash()
{
    ScreenModel m(preset("6.8in-telv"), 3);
    m.setMode(Mode::TelvBootLoader);

    // A valid image programmed through the loader runs after the reset.
    const Bytes image = makeTelvImage(makeScreenBlockPayload(9), 9);
    bootProgram(m, image);
    QCOMPARE(bootOut(m, 0x54, 0, {}).kind, Reply::Kind::Done);
    QVERIFY(m.takeRebootRequest());
    m.powerUp();
    QCOMPARE(m.mode(), Mode::Running);
    QCOMPARE(m.usbId(), kRunningId);
    const Bytes flash = m.flash();
    QVERIFY(std::equal(image.begin(), image.end(), flash.begin()));

    // One byte off inside the boot length: back in the boot loader.
    m.setMode(Mode::TelvBootLoader);
    Bytes broken = image;
    broken[0x200] ^= 0x40;
    bootProgram(m, broken);
    QCOMPARE(bootOut(m, 0x54, 0, {}).kind, Reply::Kind::Done);
    QVERIFY(m.takeRebootRequest());
    m.powerUp();
    QCOMPARE(m.mode(), Mode::TelvBootLoader);
    QCOMPARE(m.usbId(), kTelvBootId);

    // An erased flash boots nothing either.
    for (uint32_t at = 0; at < 0x8000; at += 4096)
        bootOut(m, 0x51, at, {});
    bootOut(m, 0x54, 0, {});
    QVERIFY(m.takeRebootRequest());
    m.powerUp();
    QCOMPARE(m.mode(), Mode::TelvBootLoader);
}

void TestScreenModel::k2tBootLoaderWritesEepromThatBootsAtPowerUp()
{
    ScreenModel m(preset("5in-k2t-m50a"));
    m.setConfig(0, {0x00}); // an image the boot ROM will not load
    m.powerUp();
    QCOMPARE(m.mode(), Mode::K2tBootLoader);

    // Bounds: 1-64 bytes inside the 8 KiB, wIndex 0.
    QCOMPARE(bootOut(m, 0x60, 8192 - 64, Bytes(64, 0x11)).kind, Reply::Kind::Done);
    QCOMPARE(bootOut(m, 0x60, 8192 - 63, Bytes(64, 0x11)).kind, Reply::Kind::Stall);
    QCOMPARE(bootOut(m, 0x60, 8192, Bytes(1, 0x11)).kind, Reply::Kind::Stall);
    QCOMPARE(bootOut(m, 0x60, 0, Bytes(65, 0x11)).kind, Reply::Kind::Stall);
    QCOMPARE(bootOut(m, 0x60, 0, {}).kind, Reply::Kind::Stall);
    QCOMPARE(bootOut(m, 0x60, 0x10000, Bytes(1, 0x11)).kind, Reply::Kind::Stall); // wIndex 1
    QCOMPARE(bootIn(m, 0x61, 8192 - 64, 64).data, Bytes(64, 0x11));
    QCOMPARE(bootIn(m, 0x61, 8192 - 63, 64).kind, Reply::Kind::Stall);
    QCOMPARE(bootIn(m, 0x61, 0, 65).kind, Reply::Kind::Stall);
    QCOMPARE(m.config()[8192 - 65], uint8_t(0xFF)); // neighbours untouched

    // EEPROM bytes are replaced, not ANDed as flash would.
    const uint8_t id[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const Bytes image = makeK2tEeprom(5, -1, id);
    for (size_t at = 0; at < image.size(); at += 64) {
        const Bytes chunk(image.begin() + ptrdiff_t(at), image.begin() + ptrdiff_t(at + 64));
        QCOMPARE(bootOut(m, 0x60, uint32_t(at), chunk).kind, Reply::Kind::Done);
    }
    QCOMPARE(m.config(), image);
    QCOMPARE(bootIn(m, 0x61, 0x1FF0, 8).data, Bytes(id, id + 8));
    m.powerUp();
    QCOMPARE(m.mode(), Mode::Running);

    // A cell that fails to take its value.
    m.setMode(Mode::K2tBootLoader);
    m.corruptNextProgramAt(0x1FF1, 0x80);
    bootOut(m, 0x60, 0x1FC0, Bytes(image.begin() + 0x1FC0, image.end()));
    QCOMPARE(m.deviceId()[1], uint8_t(0x82));
}

void TestScreenModel::bootLoaderRequestsPassThroughFaults()
{
    ScreenModel m(preset("4in-telv"));
    m.setMode(Mode::TelvBootLoader);
    m.setRequestFilter([](const Setup &s, const uint8_t *, size_t) {
        return s.request == 0x50 ? ScreenModel::FilterAction::Stall : ScreenModel::FilterAction::Pass;
    });
    QCOMPARE(bootIn(m, 0x50, 0, 64).kind, Reply::Kind::Stall);
    QCOMPARE(bootIn(m, 0x53, 0, 64).kind, Reply::Kind::Done);
    m.setRequestFilter({});
    Faults f;
    f.silent = true;
    m.setFaults(f);
    QCOMPARE(bootIn(m, 0x50, 0, 64).kind, Reply::Kind::Silent);
    QCOMPARE(bootOut(m, 0x54, 0, {}).kind, Reply::Kind::Silent);
    QVERIFY(!m.takeRebootRequest()); // a silent loader does nothing
    f = {};
    f.shortReply = 5;
    m.setFaults(f);
    QCOMPARE(bootIn(m, 0x53, 0, 64).data.size(), size_t(5));
}

void TestScreenModel::shownPictureUndoesEachMounting()
{
    // A picture with a marked top-left pixel, sent as each panel's host does.
    struct Case {
        const char *preset;
        bool (*pixelIsTopLeft)(int fx, int fy, int fw, int fh);
    };
    const Case cases[] = {
        {"6.8in-telv", [](int fx, int fy, int, int fh) { return fx == 0 && fy == fh - 1; }},   // mirrored
        {"7in-telv", [](int fx, int fy, int fw, int fh) { return fx == fw - 1 && fy == fh - 1; }}, // half turn
        {"4in-telv", [](int fx, int fy, int fw, int) { return fx == fw - 1 && fy == 0; }},     // 90
        {"7.8in-long-telv", [](int fx, int fy, int, int fh) { return fx == 0 && fy == fh - 1; }}, // 270
    };
    for (const Case &c : cases) {
        const Preset &p = preset(c.preset);
        ScreenModel m(p);
        const int fw = p.rotationCode == 2 ? p.pictureHeight() : p.pictureWidth();
        const int fh = p.rotationCode == 2 ? p.pictureWidth() : p.pictureHeight();
        const uint32_t count = uint32_t(fw * fh * 2);
        Bytes frame(count, 0);
        for (int fy = 0; fy < fh; ++fy)
            for (int fx = 0; fx < fw; ++fx)
                if (c.pixelIsTopLeft(fx, fy, fw, fh))
                    frame[size_t(fy * fw + fx) * 2] = 0x1F;
        out(m, 0xB0, {0x00, 0x2C, uint8_t(count), uint8_t(count >> 8), uint8_t(count >> 16), 0});
        m.bulkOut(0x02, frame.data(), frame.size());
        int w = 0;
        int h = 0;
        const auto pic = m.shownPicture(&w, &h);
        QCOMPARE(w, p.pictureWidth());
        QCOMPARE(h, p.pictureHeight());
        QVERIFY2(!pic.empty(), c.preset);
        QVERIFY2(pic[0] == 0x001F, c.preset);
        QCOMPARE(std::count(pic.begin(), pic.end(), uint16_t(0x001F)), 1);
    }
    // A frame of the wrong size shows nothing.
    ScreenModel m(preset("6.8in-telv"));
    out(m, 0xB0, {0x00, 0x2C, 0x10, 0x00, 0x00, 0x00});
    const Bytes small(16, 0);
    m.bulkOut(0x02, small.data(), small.size());
    int w = 0;
    int h = 0;
    QVERIFY(m.shownPicture(&w, &h).empty());
}

void TestScreenModel::touchReportsCarryPositionAndFlag()
{
    ScreenModel m(preset("6.8in-telv"));
    int notified = 0;
    m.setTouchListener([&] { ++notified; });
    m.injectTouch(4095, 0x123, 1);
    QCOMPARE(notified, 1);
    const auto r = m.takeTouchReport();
    QVERIFY(r.has_value());
    QCOMPARE(int((*r)[3] >> 6), 1);
    QCOMPARE(((*r)[3] & 0x0F) << 8 | (*r)[4], 4095);
    QCOMPARE(((*r)[5] & 0x0F) << 8 | (*r)[6], 0x123);
    QVERIFY(!m.takeTouchReport().has_value());
}

void TestScreenModel::rawTouchInvertsTheHostMapping()
{
    // The host's table for TELV 6.8-inch with firmware above 16 stores
    // (W - x, y); for the 4-inch portrait panels (y, W - x).
    ScreenModel telv68(preset("6.8in-telv"));
    auto [rx, ry] = telv68.rawTouchForPicturePoint(100, 50);
    QCOMPARE(800 - rx, 100);
    QCOMPARE(ry, 50);
    telv68.setIdent("TAVRIK-6.8INRGB,v0.16,2023-01-01,T113");
    std::tie(rx, ry) = telv68.rawTouchForPicturePoint(100, 50);
    QCOMPARE(480 - ry, 50);

    ScreenModel four(preset("4in-telv"));
    std::tie(rx, ry) = four.rawTouchForPicturePoint(700, 20);
    QCOMPARE(ry, 700);
    QCOMPARE(480 - rx, 20);

    ScreenModel longPanel(preset("7.8in-long-telv"));
    std::tie(rx, ry) = longPanel.rawTouchForPicturePoint(1000, 300);
    QCOMPARE(1280 - ry, 1000); // stored x = H - raw y
    QCOMPARE(rx, 300);         // stored y = raw x
}

QTEST_APPLESS_MAIN(TestScreenModel)
#include "tst_screenmodel.moc"
