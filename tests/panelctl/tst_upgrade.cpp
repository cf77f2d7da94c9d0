// Firmware upgrade of running screens through panelctl's window against
// simulated screens: what reaches the flash or EEPROM, the progress, every
// box of the dialogue, and the faults that must end as a failed upgrade.
// Runs under umockdev-wrapper.
#include "boxrecorder.h"
#include "bridge.h"
#include "freshstate.h"
#include "panelfixture.h"
#include "testimages.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QDir>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <optional>

using namespace sim;
using testimages::Bytes;

namespace {

bool writeFile(const QString &path, const Bytes &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    return f.open(QIODevice::WriteOnly)
           && f.write(reinterpret_cast<const char *>(bytes.data()), qint64(bytes.size())) == qint64(bytes.size());
}

Bytes readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray a = f.readAll();
    return Bytes(a.begin(), a.end());
}


// The progress values the upgrade of a running TELV screen must report:
// read, erase and program steps, then the read-back.
QList<int> telvProgress(int writeLength)
{
    QList<int> v;
    for (int a = 0; a < 24576; a += 48)
        if (a % 1024 == 0)
            v << a * 40 / 24576;
    v << 40 << 25;
    for (int i = 0; i < 16; ++i)
        v << 30 + i;
    const int n = (writeLength + 511) / 512 * 512;
    for (int a = 0; a < n; a += 48)
        if (a % 2048 == 0)
            v << std::min(a * 50 / n + 50, 95);
    v << 96 << 97 << 98 << 99 << 100;
    return v;
}

} // namespace

class TestUpgrade : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void telvUpgradeKeepsTheScreenBlockAndReboots_data();
    void telvUpgradeKeepsTheScreenBlockAndReboots();
    void windowTakesUpTheRestartedScreenWithoutSeeingItGo();
    void interruptedWritesAreWrittenAgainOrLeftIncomplete_data();
    void interruptedWritesAreWrittenAgainOrLeftIncomplete();
    void glitchesAreTriedAgainAndTheUpgradeVerifies_data();
    void glitchesAreTriedAgainAndTheUpgradeVerifies();
    void shorterScreenBlockStillGivesABootableImage();
    void lastChunkOfAFullBufferIsPaddedWithErasedBytes();
    void anotherModelsFileIsWrittenOnlyWhenAskedTwice_data();
    void anotherModelsFileIsWrittenOnlyWhenAskedTwice();
    void theSameFirmwareTwiceIsLeftUnchanged_data();
    void theSameFirmwareTwiceIsLeftUnchanged();
    void screenBlockKeptBeforeTheEraseServesAfterAnUnplug();
    void eepromUpgradeKeepsTheDeviceIdUnlessUnset_data();
    void eepromUpgradeKeepsTheDeviceIdUnlessUnset();
    void failingEepromLineLeavesItIncomplete();
    void telvPathTakesTelvSequenceOnOlderScreen();
    void noScreenShowsOnlyItsMessage();
    void notifyAnswersLeadTheirOwnWays();
    void unidentifiedModelAsksForAFileFirst();
    void contentChecksAndNameRules_data();
    void contentChecksAndNameRules();
    void secondClickAndClosingWhileRunning();
    void logReadOutEndsBeforeTheFirstWrite();
    void screenSwappedWhileTheBoxesAreUpIsRefused();

private:
    std::shared_ptr<ScreenModel> openScreen(const char *preset, int bus);
    QString firmwareFolder() const { return m_dir.filePath(QStringLiteral("firmware")); }
    // Clicks Upgrade and waits for the final progress value; returns it.
    int runUpgrade(int ms = 30000);
    QStringList titles() const { return m_boxes->titles(); }
    // The boxes shown in this test, whole.
    QList<dialogs::Message> boxes() const { return m_boxes->messages(); }

    std::unique_ptr<PanelFixture> m_f;
    QTemporaryDir m_dir;
    std::optional<FreshState> m_state;
    std::unique_ptr<BoxRecorder> m_boxes;
    QList<int> m_progress;
    std::function<void(int)> m_onProgress;
};

void TestUpgrade::initTestCase()
{
    QVERIFY2(qEnvironmentVariableIsSet("LD_PRELOAD"), "run under umockdev-wrapper");
    QVERIFY(m_dir.isValid());
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("bin"))); // "bin/../firmware" must resolve
    m_f = std::make_unique<PanelFixture>();
}

void TestUpgrade::init()
{
    m_state.emplace();
    // A recorder of its own per test: no answer or box of the last one is
    // left over. The old one goes first, as it unsets the seams it set.
    m_boxes.reset();
    m_boxes = std::make_unique<BoxRecorder>();
    m_progress.clear();
    m_onProgress = {};
    m_f->newWindow();
    // The program's folder is a "bin" beside the test's firmware folder.
    m_f->window->setProgramDir(m_dir.filePath(QStringLiteral("bin")));
    m_f->recordUpgrade(this, [this](int v) {
        m_progress << v;
        if (m_onProgress)
            m_onProgress(v);
    });
}

void TestUpgrade::cleanup()
{
    if (m_f->window)
        QTRY_VERIFY_WITH_TIMEOUT(!m_f->session().upgradeRunning(), 30000);
    m_f->clear();
}

std::shared_ptr<ScreenModel> TestUpgrade::openScreen(const char *preset, int bus)
{
    return m_f->open(preset, bus, [](ScreenModel &m) { m.setRebootDelayMs(200); });
}

int TestUpgrade::runUpgrade(int ms)
{
    return m_f->runUpgrade(m_progress, ms);
}

void TestUpgrade::telvUpgradeKeepsTheScreenBlockAndReboots_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("24576 bytes") << 24576;
    QTest::newRow("30000 bytes") << 30000;
}

void TestUpgrade::telvUpgradeKeepsTheScreenBlockAndReboots()
{
    QFETCH(int, size);
    const auto model = openScreen("6.8in-telv", 40);
    QVERIFY(model);
    const Bytes before = model->flash();
    const Bytes screenBlock(before.begin() + 0x1000, before.begin() + 0x1000 + 8 + 120);
    const Bytes file = testimages::upgradeTelvImage(size_t(size));
    const QString path = firmwareFolder() + QStringLiteral("/TELV/TELV.6d8.TAVRIK.bin");
    QVERIFY(writeFile(path, file));
    m_boxes->answers[QStringLiteral("NOTIFY")] = QMessageBox::Yes;
    model->clearRequests();

    QCOMPARE(runUpgrade(), 100);
    // The default file needs no second confirmation.
    QCOMPARE(titles(), (QStringList{QStringLiteral("NOTIFY"), QStringLiteral("Notify")}));
    // Done only once it came back: the box names its firmware now and before.
    QCOMPARE(m_boxes->lastMessage().text,
             QStringLiteral("Upgrade done, the screen restarted with firmware v0.18 (before: v0.18)."));
    QCOMPARE(readFile(path), file); // the firmware on disk is untouched

    // The flash holds the new image with this screen's own block 1.
    Bytes expected(file.begin(), file.begin() + 0x1000);
    expected.insert(expected.end(), screenBlock.begin(), screenBlock.end());
    expected.insert(expected.end(), file.begin() + 0x1000 + 8 + 64, file.end());
    testimages::put32(expected, 12, testimages::expectedChecksum(expected));
    const Bytes flash = model->flash();
    QVERIFY(std::equal(expected.begin(), expected.end(), flash.begin()));
    QVERIFY(std::all_of(flash.begin() + ptrdiff_t(expected.size()), flash.end(), [](uint8_t b) { return b == 0xFF; }));
    QCOMPARE(testimages::get32(flash, 12), testimages::expectedChecksum(Bytes(flash.begin(), flash.begin() + 0x6000)));

    const int writeLength = int((expected.size() + 15) / 16 * 16);
    QCOMPARE(m_progress, telvProgress(writeLength));

    // The last program chunk announces the bytes left, and still sends 54.
    const int n = (writeLength + 511) / 512 * 512;
    RequestRecord lastProgram;
    for (const auto &r : model->requests())
        if (r.setup.request == 0xB5 && r.payload.size() == 54)
            lastProgram = r;
    const int lastAddress = (n - 1) / 48 * 48;
    QCOMPARE(int(lastProgram.payload[1]), n - lastAddress + 3);
    QCOMPARE(lastProgram.payload[3] << 16 | lastProgram.payload[4] << 8 | lastProgram.payload[5], lastAddress);

    // Rebooted: it left the bus, came back running and is opened again.
    QVERIFY(m_f->scanUntil([&] { return m_f->screen() && m_f->status().startsWith("TELV "); }, 8000));
}

void TestUpgrade::windowTakesUpTheRestartedScreenWithoutSeeingItGo()
{
    // The screen restarts after its upgrade and is back before the window
    // scans again: the window opens it anew within a few scans.
    const auto model = openScreen("6.8in-telv", 47);
    QVERIFY(model);
    const int slot = m_f->slots_.back();
    QVERIFY(writeFile(firmwareFolder() + QStringLiteral("/TELV/TELV.6d8.TAVRIK.bin"), testimages::upgradeTelvImage()));
    m_boxes->answers[QStringLiteral("NOTIFY")] = QMessageBox::Yes;
    const int addressBefore = m_f->bus->deviceAddress(slot);
    auto held = std::make_shared<bool>(false);
    sim::VirtualBus *bus = m_f->bus.get();
    m_boxes->onBox = [this, bus, slot, addressBefore, held](const dialogs::Message &m) {
        if (m.text.startsWith(QLatin1String("Upgrade done")))
            QTimer::singleShot(0, this, [bus, slot, addressBefore, held] {
                *held = PanelFixture::holdUntil([bus, slot, addressBefore] {
                    return bus->deviceAddress(slot) > 0 && bus->deviceAddress(slot) != addressBefore;
                });
            });
    };
    QCOMPARE(runUpgrade(), 100);
    QTRY_VERIFY(*held);
    const QString id = screenlink::formatDeviceId(model->deviceId().data());
    QVERIFY(m_f->withinScans(3, [&] { return m_f->screen() && m_f->status().startsWith("TELV "); }));
    QCOMPARE(m_f->window->windowTitle(), QStringLiteral("ID: ") + id);
    QVERIFY(m_f->lampGreen());
    QTest::qWait(1200);
    const uint64_t frames = model->frameSerial();
    QVERIFY(m_f->pictureAfter([&] { m_f->child<QPushButton>("pbBlue")->click(); }));
    QCOMPARE(model->frameSerial(), frames + 1);
    const Bytes frame = model->lastFrame();
    QCOMPARE(std::count(frame.begin(), frame.end(), uint8_t(0x1F)), std::ptrdiff_t(800 * 480));
}

void TestUpgrade::interruptedWritesAreWrittenAgainOrLeftIncomplete_data()
{
    // Every fault strikes after the first erase: the flash is no longer
    // what the screen started from.
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("done");
    QTest::addColumn<int>("passes"); // whole writes begun
    QTest::newRow("flipped bit") << "flipped bit" << true << 2;
    QTest::newRow("one chunk fails three times, then clears") << "chunk three times" << true << 2;
    QTest::newRow("erase step") << "erase step" << false << 3;
    QTest::newRow("program request") << "program request" << false << 3;
    QTest::newRow("unplugged") << "unplugged" << false << 1;
    // A screen whose bridge went quiet does not answer: not written again.
    QTest::newRow("status request") << "status request" << false << 1;
}

void TestUpgrade::interruptedWritesAreWrittenAgainOrLeftIncomplete()
{
    QFETCH(QString, fault);
    QFETCH(bool, done);
    QFETCH(int, passes);
    const auto model = openScreen("6.8in-telv", 41);
    QVERIFY(model);
    const Bytes before = model->flash();
    const Bytes file = testimages::upgradeTelvImage(24576);
    const QString path = firmwareFolder() + QStringLiteral("/TELV/TELV.6d8.TAVRIK.bin");
    QVERIFY(writeFile(path, file));
    m_boxes->answers[QStringLiteral("NOTIFY")] = QMessageBox::Yes;

    const auto programAt = [](const Setup &s, const uint8_t *out, size_t n, uint32_t address) {
        return s.request == 0xB5 && n == 54 && uint32_t(out[3] << 16 | out[4] << 8 | out[5]) == address;
    };
    if (fault == QLatin1String("erase step")) {
        model->setRequestFilter([](const Setup &s, const uint8_t *out, size_t) {
            return s.request == 0xBE && out[1] == 3 ? ScreenModel::FilterAction::Stall : ScreenModel::FilterAction::Pass;
        });
    } else if (fault == QLatin1String("program request")) {
        model->setRequestFilter([programAt](const Setup &s, const uint8_t *out, size_t n) {
            return programAt(s, out, n, 0x3000) ? ScreenModel::FilterAction::Stall : ScreenModel::FilterAction::Pass;
        });
    } else if (fault == QLatin1String("chunk three times")) {
        int failures = 0;
        model->setRequestFilter([programAt, failures](const Setup &s, const uint8_t *out, size_t n) mutable {
            return programAt(s, out, n, 0x3000) && failures++ < 3 ? ScreenModel::FilterAction::Stall
                                                                  : ScreenModel::FilterAction::Pass;
        });
    } else if (fault == QLatin1String("status request")) {
        // From the 100th on: a status that never comes back again.
        int seen = 0;
        model->setRequestFilter([seen](const Setup &s, const uint8_t *, size_t) mutable {
            return s.request == 0xB6 && ++seen >= 100 ? ScreenModel::FilterAction::Silent
                                                       : ScreenModel::FilterAction::Pass;
        });
    } else if (fault == QLatin1String("flipped bit")) {
        model->corruptNextProgramAt(0x2345, 0x10);
    } else {
        const int slot = m_f->slots_.back();
        m_onProgress = [this, slot](int v) {
            if (v == 62)
                m_f->bus->unplug(slot);
        };
    }
    model->clearRequests();
    QCOMPARE(runUpgrade(60000), done ? 100 : -1);
    model->setRequestFilter({});
    const auto records = model->requests();
    const auto erasesFromStart = std::count_if(records.begin(), records.end(), [](const RequestRecord &r) {
        return r.setup.request == 0xBE && r.payload.size() > 1 && r.payload[1] == 0;
    });
    QCOMPARE(int(erasesFromStart), passes);
    const dialogs::Message end = m_boxes->lastMessage();
    QCOMPARE(end.title, QStringLiteral("Notify"));
    if (done) {
        QVERIFY2(end.text.startsWith(QStringLiteral("Upgrade done")), qPrintable(end.text));
        QVERIFY(testimages::startsWith(model->flash(), testimages::upgradedFlash(before, file)));
    } else {
        // Never the refusal's words: this screen no longer starts as it did.
        QVERIFY2(end.text.startsWith(QStringLiteral("The firmware upgrade did not finish: ")), qPrintable(end.text));
        QVERIFY2(end.text.contains(QStringLiteral("Its firmware is incomplete: keep the screen plugged in (or plug it "
                                                  "back in) and upgrade it again.")),
                 qPrintable(end.text));
        QCOMPARE(end.icon, QMessageBox::Critical);
    }
    QVERIFY(!m_f->child("pgUpgrade")->isVisible());
    QCOMPARE(readFile(path), file);
}

void TestUpgrade::glitchesAreTriedAgainAndTheUpgradeVerifies_data()
{
    QTest::addColumn<QString>("preset");
    QTest::newRow("TELV flash") << QStringLiteral("6.8in-telv");
    QTest::newRow("K2T/K5TX EEPROM") << QStringLiteral("6.8in-k2t");
}

void TestUpgrade::glitchesAreTriedAgainAndTheUpgradeVerifies()
{
    // Every fifth request stalls, all through the upgrade: each failed
    // request or transaction is tried again, the upgrade succeeds and its
    // read-back holds, and the progress is what it is without glitches.
    QFETCH(QString, preset);
    const bool telv = preset.contains(QLatin1String("telv"));
    const auto model = openScreen(qPrintable(preset), 44);
    QVERIFY(model);
    QTest::qWait(1200); // the start logo has gone out
    const Bytes file = telv ? testimages::upgradeTelvImage(30000) : testimages::upgradeEepromImage();
    const QString path = firmwareFolder() + (telv ? QStringLiteral("/TELV/TELV.6d8.TAVRIK.bin")
                                                  : QStringLiteral("/K2T-K5TX/7NDK2T.bin"));
    QVERIFY(writeFile(path, file));
    m_boxes->answers[QStringLiteral("NOTIFY")] = QMessageBox::Yes;
    const Bytes before = model->flash();
    Faults glitches;
    glitches.failEvery = 5;
    model->setFaults(glitches);
    model->clearRequests();
    m_onProgress = [model](int v) {
        if (v == 99) // the restart request afterwards is not the upgrade's
            model->setFaults({});
    };

    QCOMPARE(runUpgrade(), 100);
    const auto records = model->requests();
    const auto stalled = std::count_if(records.begin(), records.end(),
                                       [](const RequestRecord &r) { return r.outcome == Reply::Kind::Stall; });
    QVERIFY2(size_t(stalled) > records.size() / 10, "the glitches never came");
    if (telv) {
        Bytes expected(file.begin(), file.begin() + 0x1000);
        expected.insert(expected.end(), before.begin() + 0x1000, before.begin() + 0x1000 + 8 + 120);
        expected.insert(expected.end(), file.begin() + 0x1000 + 8 + 64, file.end());
        testimages::put32(expected, 12, testimages::expectedChecksum(expected));
        const Bytes flash = model->flash();
        QVERIFY(std::equal(expected.begin(), expected.end(), flash.begin()));
        QCOMPARE(m_progress, telvProgress(int((expected.size() + 15) / 16 * 16)));
    } else {
        const Bytes eeprom = model->config();
        QVERIFY(std::equal(file.begin(), file.begin() + 0x1FF0, eeprom.begin()));
        QVERIFY(std::equal(file.begin() + 0x1FF8, file.end(), eeprom.begin() + 0x1FF8));
        QList<int> expected;
        for (int a = 0; a < 8192; a += 256)
            expected << a * 100 / 8192;
        expected << 97 << 98 << 99 << 100;
        QCOMPARE(m_progress, expected);
    }
    QCOMPARE(model->interleavedTransactions(), uint64_t(0));
}

void TestUpgrade::shorterScreenBlockStillGivesABootableImage()
{
    // The file's own block 1 is 600 bytes longer than the screen's, and its
    // boot length covers its whole 24 KiB: the assembled image ends 600
    // bytes early, and the erased flash after it completes the checksum.
    const auto model = openScreen("6.8in-telv", 45);
    QVERIFY(model);
    const Bytes before = model->flash();
    QCOMPARE(testimages::get32(before, 0x1000 + 4), 120u);
    testimages::ImageLayout layout;
    layout.bootLength = 24576;
    layout.payloads = {testimages::pattern(720, 0x61), testimages::pattern(100, 0x62), testimages::pattern(900, 0x63)};
    const Bytes file = testimages::telvImage(layout);
    QVERIFY(writeFile(firmwareFolder() + QStringLiteral("/TELV/TELV.6d8.TAVRIK.bin"), file));
    m_boxes->answers[QStringLiteral("NOTIFY")] = QMessageBox::Yes;

    QCOMPARE(runUpgrade(), 100);
    const Bytes flash = model->flash();
    QCOMPARE(testimages::get32(flash, 16), 24576u);
    QCOMPARE(testimages::get32(flash, 12), testimages::expectedChecksum(Bytes(flash.begin(), flash.begin() + 24576)));
    QVERIFY(std::all_of(flash.begin() + 24576 - 600, flash.begin() + 24576, [](uint8_t b) { return b == 0xFF; }));
    // It boots what it was given.
    QVERIFY(m_f->scanUntil([&] { return m_f->screen() && m_f->status().startsWith("TELV "); }, 8000));
    QCOMPARE(model->mode(), Mode::Running);
}

void TestUpgrade::lastChunkOfAFullBufferIsPaddedWithErasedBytes()
{
#if defined(__SANITIZE_THREAD__)
    QSKIP("a 1 MiB write takes minutes under ThreadSanitizer; the address sanitizer run covers it");
#endif
    // An image that fills the whole 1 MiB buffer: its last 48-byte chunk
    // holds 16 bytes of the image, and the 32 after them must be 0xFF,
    // never whatever lies beyond the buffer.
    const auto model = openScreen("6.8in-telv", 46);
    QVERIFY(model);
    const Bytes before = model->flash();
    // The screen's block is 56 bytes longer than the file's own: the
    // assembled image is exactly 1 MiB.
    const Bytes file = testimages::upgradeTelvImage((1 << 20) - 56);
    QVERIFY(writeFile(firmwareFolder() + QStringLiteral("/TELV/TELV.6d8.TAVRIK.bin"), file));
    m_boxes->answers[QStringLiteral("NOTIFY")] = QMessageBox::Yes;
    model->clearRequests();

    QCOMPARE(runUpgrade(180000), 100);
    RequestRecord last;
    for (const auto &r : model->requests())
        if (r.setup.request == 0xB5 && r.payload.size() == 54)
            last = r;
    QCOMPARE(last.payload[3] << 16 | last.payload[4] << 8 | last.payload[5], (1 << 20) - 16);
    QCOMPARE(int(last.payload[1]), 16 + 3);
    QVERIFY(std::all_of(last.payload.begin() + 6 + 16, last.payload.end(), [](uint8_t b) { return b == 0xFF; }));
    Bytes expected(file.begin(), file.begin() + 0x1000);
    expected.insert(expected.end(), before.begin() + 0x1000, before.begin() + 0x1000 + 8 + 120);
    expected.insert(expected.end(), file.begin() + 0x1000 + 8 + 64, file.end());
    QCOMPARE(expected.size(), size_t(1 << 20));
    testimages::put32(expected, 12, testimages::expectedChecksum(expected));
    const Bytes flash = model->flash();
    QVERIFY(std::equal(expected.begin(), expected.end(), flash.begin()));
}

void TestUpgrade::anotherModelsFileIsWrittenOnlyWhenAskedTwice_data()
{
    QTest::addColumn<QString>("file"); // chosen by hand
    QTest::addColumn<bool>("asked");   // the second confirmation comes
    QTest::addColumn<bool>("confirm");
    QTest::newRow("another model's, cancelled") << "TELV/TELV.7n8.TAVRIK.bin" << true << false;
    QTest::newRow("another model's, confirmed") << "TELV/TELV.7n8.TAVRIK.bin" << true << true;
    QTest::newRow("logo merged into its own") << "own" << false << false;
    QTest::newRow("logo merged into another's") << "other" << true << false;
}

void TestUpgrade::anotherModelsFileIsWrittenOnlyWhenAskedTwice()
{
    QFETCH(QString, file);
    QFETCH(bool, asked);
    QFETCH(bool, confirm);
    const auto model = openScreen("6.8in-telv", 49);
    QVERIFY(model);
    const Bytes own = testimages::upgradeTelvImage(30000);
    Bytes other = own;
    other[testimages::blockStart(other, 0x1000, 1) + 8] ^= 0xFF; // another panel's settings
    Bytes customised = own;
    customised[testimages::blockStart(customised, 0x1000, 2) + 20] ^= 0x5A; // a logo of one's own
    QVERIFY(writeFile(firmwareFolder() + QStringLiteral("/TELV/TELV.6d8.TAVRIK.bin"), own));
    QVERIFY(writeFile(firmwareFolder() + QStringLiteral("/TELV/TELV.7n8.TAVRIK.bin"), other));
    QString chosen = firmwareFolder() + QLatin1Char('/') + file;
    if (!file.endsWith(QLatin1String(".bin"))) {
        // As logomerge writes it: named for no model.
        chosen = firmwareFolder() + QStringLiteral("/TELV/TELV.output.bin");
        QVERIFY(writeFile(chosen, testimages::handMerge(file == QLatin1String("own") ? own : other, 0x1000,
                                                        customised, 0x1000)));
    }
    m_boxes->chosenFile = chosen;
    m_boxes->answers[QStringLiteral("NOTIFY")] = QMessageBox::No;
    m_boxes->answers[QStringLiteral("Notify")] = QMessageBox::Yes;
    m_boxes->answers[QStringLiteral("Warning")] = confirm ? QMessageBox::Yes : QMessageBox::Cancel;
    const uint64_t erased = model->eraseSteps();
    const bool written = !asked || confirm;
    if (written) {
        QCOMPARE(runUpgrade(60000), 100);
    } else {
        m_f->child<QPushButton>("pbUpgrade")->click();
        QVERIFY(!m_f->session().upgradeRunning());
    }
    const QStringList warnings = m_boxes->shown().filter(QStringLiteral("Warning|This firmware is for another model"));
    QCOMPARE(warnings.size(), asked ? 1 : 0);
    if (asked)
        QVERIFY2(warnings[0].contains(QStringLiteral("made for the 7.85inch long/PANEL-L78C"))
                     && warnings[0].contains(QStringLiteral("this screen is a 6.8inch/TAVRIK-6.8INRGB")),
                 qPrintable(warnings[0]));
    QCOMPARE(model->eraseSteps() > erased, written);
}

void TestUpgrade::theSameFirmwareTwiceIsLeftUnchanged_data()
{
    QTest::addColumn<QString>("preset");
    QTest::addColumn<QString>("file");
    QTest::newRow("TELV") << "6.8in-telv" << "TELV/TELV.6d8.TAVRIK.bin";
    QTest::newRow("K2T/K5TX") << "6.8in-k2t" << "K2T-K5TX/7NDK2T.bin";
}

void TestUpgrade::theSameFirmwareTwiceIsLeftUnchanged()
{
    QFETCH(QString, preset);
    QFETCH(QString, file);
    const auto model = openScreen(preset.toLatin1().constData(), 50);
    QVERIFY(model);
    const bool telv = preset.endsWith(QLatin1String("telv"));
    QVERIFY(writeFile(firmwareFolder() + QLatin1Char('/') + file,
                      telv ? testimages::upgradeTelvImage(30000) : testimages::upgradeEepromImage()));
    m_boxes->answers[QStringLiteral("NOTIFY")] = QMessageBox::Yes;
    QCOMPARE(runUpgrade(60000), 100);
    QVERIFY(m_f->scanUntil([&] { return m_f->screen() && !m_f->session().upgradeRunning(); }, 30000));

    const auto id = model->deviceId();
    const uint64_t erased = model->eraseSteps();
    model->clearRequests();
    m_progress.clear();
    QCOMPARE(runUpgrade(60000), 100);
    QVERIFY2(m_boxes->lastMessage().text.startsWith(QStringLiteral("The screen already has this firmware")),
             qPrintable(m_boxes->last()));
    QCOMPARE(model->eraseSteps(), erased);
    for (const auto &r : model->requests()) // never into programming mode, so nothing written
        QVERIFY(!(r.setup.request == 0xB9 && !r.payload.empty() && r.payload[0] == 0xEF));
    QVERIFY(!model->programming());
    QVERIFY(model->deviceId() == id);
}

void TestUpgrade::screenBlockKeptBeforeTheEraseServesAfterAnUnplug()
{
    const auto model = openScreen("6.8in-telv", 51);
    QVERIFY(model);
    const Bytes before = model->flash();
    const Bytes block(before.begin() + 0x1000, before.begin() + 0x1000 + 8 + 120);
    const Bytes file = testimages::upgradeTelvImage(30000);
    QVERIFY(writeFile(firmwareFolder() + QStringLiteral("/TELV/TELV.6d8.TAVRIK.bin"), file));
    m_boxes->answers[QStringLiteral("NOTIFY")] = QMessageBox::Yes;
    const int slot = m_f->slots_.back();
    bool pulled = false;
    m_onProgress = [this, slot, model, &pulled](int) {
        if (model->eraseSteps() > 0 && !pulled) { // the first erase step is done: its screen block is gone
            pulled = true;
            m_f->bus->unplug(slot);
        }
    };
    QCOMPARE(runUpgrade(60000), -1);
    m_onProgress = {};
    QVERIFY(pulled);
    // Plugged back in, it runs on what is left of its flash.
    m_f->bus->plug(slot);
    QVERIFY(m_f->scanUntil([&] { return m_f->screen() != nullptr; }, 10000));
    QVERIFY(!std::equal(block.begin(), block.end(), model->flash().begin() + 0x1000));

    QCOMPARE(runUpgrade(60000), 100);
    QVERIFY2(m_boxes->lastMessage().text.contains(QStringLiteral("the copy kept before an earlier upgrade")),
             qPrintable(m_boxes->last()));
    QVERIFY(testimages::startsWith(model->flash(), testimages::upgradedFlash(before, file)));
    const QString kept = m_state->path() + QStringLiteral("/tavrik/screen-blocks/id-")
                         + screenlink::formatDeviceId(model->deviceId().data()) + QStringLiteral(".bin");
    const QFileDevice::Permissions mode = QFileInfo(kept).permissions();
    QVERIFY(QFileInfo::exists(kept) && mode.testFlag(QFileDevice::ReadOwner));
    QVERIFY(!(mode & (QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::WriteGroup | QFileDevice::WriteOther)));
}

void TestUpgrade::eepromUpgradeKeepsTheDeviceIdUnlessUnset_data()
{
    QTest::addColumn<bool>("unset");
    QTest::newRow("its own ID") << false;
    QTest::newRow("erased ID") << true;
}

void TestUpgrade::eepromUpgradeKeepsTheDeviceIdUnlessUnset()
{
    QFETCH(bool, unset);
    const auto model = m_f->open("6.8in-k2t", 42, [unset](ScreenModel &m) {
        m.setRebootDelayMs(200);
        if (unset)
            m.setConfig(0x1FF0, std::vector<uint8_t>(8, 0xFF));
    });
    QVERIFY(model);
    const auto ownId = model->deviceId();
    Bytes image = testimages::pattern(8192, 0x5A);
    image[0] = 0xC2;
    testimages::put32(image, 0x1FFC, 7); // still a 6.8-inch panel afterwards
    testimages::put32(image, 0x1FF8, 0);
    const QString path = firmwareFolder() + QStringLiteral("/K2T-K5TX/7NDK2T.bin");
    QVERIFY(writeFile(path, image));
    m_boxes->answers[QStringLiteral("NOTIFY")] = QMessageBox::Yes;
    const QDateTime start = QDateTime::currentDateTime();

    QCOMPARE(runUpgrade(), 100);
    QCOMPARE(m_boxes->lastMessage().text, QStringLiteral("Upgrade done, please unplug to reboot the screen."));
    QList<int> expected;
    for (int a = 0; a < 8192; a += 16)
        if (a % 256 == 0)
            expected << a * 100 / 8192;
    expected << 97 << 98 << 99 << 100;
    QCOMPARE(m_progress, expected);

    const Bytes eeprom = model->config();
    for (size_t i = 0; i < eeprom.size(); ++i)
        if ((i < 0x1FF0 || i > 0x1FF7) && eeprom[i] != image[i])
            QFAIL(qPrintable(QStringLiteral("EEPROM differs at %1").arg(i)));
    if (!unset) {
        // Scripts and remembered screens know it by its ID.
        QVERIFY(std::equal(ownId.begin(), ownId.end(), eeprom.begin() + 0x1FF0));
        return;
    }
    // The stamp is the time of the upgrade in the ID's own date form.
    const QDate d = start.date();
    QCOMPARE(int(eeprom[0x1FF0]), (d.year() - 1900) % 255);
    QCOMPARE(int(eeprom[0x1FF1]), d.month());
    QCOMPARE(int(eeprom[0x1FF2]), d.day() + 1);
    QCOMPARE(int(eeprom[0x1FF6]), 0);
    QVERIFY(eeprom[0x1FF7] < 255);

    // Unplugged and plugged in again, the screen shows the new ID.
    const int slot = m_f->slots_.back();
    m_f->bus->unplug(slot);
    QVERIFY(m_f->scanUntil([&] { return !m_f->screen(); }));
    m_f->bus->plug(slot);
    QVERIFY(m_f->scanUntil([&] { return m_f->screen() != nullptr; }));
    const auto id = model->deviceId();
    QCOMPARE(m_f->window->windowTitle(), QStringLiteral("ID: ") + screenlink::formatDeviceId(id.data()));
    QCOMPARE(id[0], eeprom[0x1FF0]);
}

void TestUpgrade::failingEepromLineLeavesItIncomplete()
{
    const auto model = openScreen("4.3in-k2t", 43);
    QVERIFY(model);
    Bytes image = testimages::pattern(8192, 0x33);
    image[0] = 0xC2;
    QVERIFY(writeFile(firmwareFolder() + QStringLiteral("/K2T-K5TX/4N3K2T.bin"), image));
    m_boxes->answers[QStringLiteral("NOTIFY")] = QMessageBox::Yes;
    model->setRequestFilter([](const Setup &s, const uint8_t *out, size_t n) {
        const bool line = s.request == 0xB5 && n == 21 && (out[3] << 8 | out[4]) == 0x0100;
        return line ? ScreenModel::FilterAction::Stall : ScreenModel::FilterAction::Pass;
    });
    QCOMPARE(runUpgrade(), -1);
    QVERIFY(!m_progress.contains(100));
    QVERIFY(m_boxes->lastMessage().text.startsWith(QStringLiteral("The firmware upgrade did not finish: ")));
    QVERIFY(!model->programming());
}

void TestUpgrade::telvPathTakesTelvSequenceOnOlderScreen()
{
    const auto model = openScreen("6.8in-k2t", 44);
    QVERIFY(model);
    const Bytes eepromBefore = model->config();
    Bytes image = testimages::pattern(8192, 0x44);
    image[0] = 0xC2;
    m_boxes->chosenFile = firmwareFolder() + QStringLiteral("/TELV/older.bin");
    QVERIFY(writeFile(m_boxes->chosenFile, image));
    m_boxes->answers[QStringLiteral("NOTIFY")] = QMessageBox::No;
    m_boxes->answers[QStringLiteral("Notify")] = QMessageBox::Yes;
    m_boxes->answers[QStringLiteral("Warning")] = QMessageBox::Yes; // nothing in it tells its model
    model->clearRequests();
    QCOMPARE(runUpgrade(), -1);
    // The flash read of the TELV sequence went out; nothing was erased.
    bool flashRead = false;
    for (const auto &r : model->requests()) {
        flashRead |= r.setup.request == 0xB5 && r.payload.size() == 6 && r.payload[1] == 0x03 && r.payload[2] == 0x30;
        QVERIFY(r.setup.request != 0xBE && r.setup.request != 0xB9);
    }
    QVERIFY(flashRead);
    QCOMPARE(model->config(), eepromBefore);
}

void TestUpgrade::noScreenShowsOnlyItsMessage()
{
    m_f->child<QPushButton>("pbUpgrade")->click();
    const QList<dialogs::Message> shown = boxes();
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].title, QStringLiteral("Error"));
    QCOMPARE(shown[0].text, QStringLiteral("No screen find."));
    QVERIFY(shown[0].parent);
    QVERIFY(m_boxes->fileRequests.isEmpty());
    QVERIFY(!m_f->session().upgradeRunning());
}

void TestUpgrade::notifyAnswersLeadTheirOwnWays()
{
    QVERIFY(openScreen("6.8in-telv", 45));
    // Cancel: nothing more.
    m_boxes->answers[QStringLiteral("NOTIFY")] = QMessageBox::Cancel;
    m_f->child<QPushButton>("pbUpgrade")->click();
    QCOMPARE(titles(), QStringList{QStringLiteral("NOTIFY")});
    const QString defaultPath = m_dir.filePath(QStringLiteral("firmware/TELV/TELV.6d8.TAVRIK.bin"));
    QList<dialogs::Message> shown = boxes();
    QCOMPARE(shown[0].text, QStringLiteral("We will upgrade your device, firmware ") + defaultPath
                                  + QStringLiteral(".\r\nContinue upgrade click on 'Yes';\r\nManually choose firmware, click on 'No'."));
    QCOMPARE(shown[0].buttons, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
    QVERIFY(!shown[0].parent);

    // No: the risks, the file dialog, then the confirmation, which Cancel ends.
    m_boxes->clear();
    m_boxes->answers[QStringLiteral("NOTIFY")] = QMessageBox::No;
    m_boxes->answers[QStringLiteral("Notify")] = QMessageBox::Cancel;
    m_boxes->chosenFile = QStringLiteral("/somewhere/TELV/x.bin");
    m_f->child<QPushButton>("pbUpgrade")->click();
    QCOMPARE(titles(), (QStringList{QStringLiteral("NOTIFY"), QStringLiteral("IMPORTANT"), QStringLiteral("Notify")}));
    shown = boxes();
    QCOMPARE(shown[1].text, QStringLiteral(
        "You are trying to upgrade screen firmware!\r\nUsing wrong firmware will broke your screen!\r\n"
        "The firmware path MUST NOT contain any spaces or special characters.\r\n\r\nK2T/K5TX Screens:\r\n"
        "4.0inch/PANEL-Y40: 4NK2T.bin\r\n4.0inch/PANEL-X40: 4NK5TX.bin\r\n4.0inch/TAVRIK-4NDNK2T: 4NDNK2T.bin\r\n"
        "5.0inch/PANEL-M50A: 5NK2T.bin\r\n4.3inch/PANEL-W43A: 4N3K2T.bin\r\n4.0inch/PANEL-W40B: 4NDXK2P.bin\r\n"
        "5.0inch/PANEL-W50G: 5NDK2T.bin\r\n6.8inch/PANEL-W68A: 7NDK2T.bin\r\nTELV Screens: \r\n"
        "(TELV.TAVRIK is TAVRIK logo, NOLOGO is black)\r\n5.0inch/TAVRIK-5INRGB: TELV.5d0.TAVRIK.bin\r\n"
        "4.0inch/TAVRIK-4INRGB: TELV.4d0.TAVRIK.bin\r\n4.3inch/TAVRIK-4.3INRGB: TELV.4d3.TAVRIK.bin\r\n"
        "6.8inch/TAVRIK-6.8INRGB: TELV.6d8.TAVRIK.bin\r\n10inch/TAVRIK-10INRGB: TELV.10d.TAVRIK.bin\r\n"
        "7.85inch long/PANEL-L78C: TELV.7n8.TAVRIK.bin\r\n4inch square/PANEL-Q40A: TELV.4s0.TAVRIK.bin\r\n"
        "3.4inch/TAVRIK-3.4IN-ROUND: TELV.3r4.TAVRIK.bin\r\n\r\n"));
    QVERIFY(!shown[1].parent);
    QCOMPARE(m_boxes->fileRequests.size(), 1);
    QVERIFY(!m_boxes->fileRequests[0].parent);
    QCOMPARE(m_boxes->fileRequests[0].caption, QStringLiteral("Select the firmware file"));
    QVERIFY(m_boxes->fileRequests[0].directory.isEmpty());
    QCOMPARE(m_boxes->fileRequests[0].filter, QStringLiteral("Firmware (*.bin)"));
    QCOMPARE(shown[2].text, QStringLiteral("Upgrade firmware: /somewhere/TELV/x.bin"));
    QCOMPARE(shown[2].buttons, QMessageBox::Yes | QMessageBox::Cancel);
    QVERIFY(shown[2].parent);
    QVERIFY(!m_f->session().upgradeRunning());

    // A cancelled file dialog ends without a word.
    m_boxes->clear();
    m_boxes->chosenFile.clear();
    m_f->child<QPushButton>("pbUpgrade")->click();
    QCOMPARE(titles(), (QStringList{QStringLiteral("NOTIFY"), QStringLiteral("IMPORTANT")}));
}

void TestUpgrade::unidentifiedModelAsksForAFileFirst()
{
    QVERIFY(openScreen("unknown", 46));
    m_f->child<QPushButton>("pbUpgrade")->click();
    QCOMPARE(titles(), QStringList{QStringLiteral("IMPORTANT")});
    QCOMPARE(m_boxes->fileRequests.size(), 1);
}

void TestUpgrade::contentChecksAndNameRules_data()
{
    QTest::addColumn<QString>("preset");
    QTest::addColumn<QString>("file"); // relative to the firmware folder
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("first");
    QTest::addColumn<QString>("message"); // empty: accepted, the upgrade starts
    const QString code = QStringLiteral("This is not a valid firmware file, code = %1.");
    QTest::newRow("TELV too small") << "6.8in-telv" << "TELV/a.bin" << 24575 << 0x16 << code.arg(1);
    QTest::newRow("TELV first byte") << "6.8in-telv" << "TELV/a.bin" << 24576 << 0x00 << code.arg(2);
    QTest::newRow("TELV name") << "6.8in-telv" << "other/telv.bin" << 24576 << 0x16
                               << "This firmware is forbidden, file name must start with TELV.";
    QTest::newRow("TELV in a folder name only") << "6.8in-telv" << "TELV/anything.bin" << 24576 << 0x16 << "";
    QTest::newRow("TELV image on older screen") << "6.8in-k2t" << "K2T-K5TX/a.bin" << 24576 << 0x16 << code.arg(3);
    QTest::newRow("older first byte") << "6.8in-k2t" << "K2T-K5TX/a.bin" << 8192 << 0x00 << code.arg(4);
    QTest::newRow("4NK2T.bin") << "6.8in-k2t" << "K2T-K5TX/4NK2T.bin" << 8192 << 0xC2 << "This firmware is forbidden.";
    QTest::newRow("5NK2T.bin") << "6.8in-k2t" << "K2T-K5TX/5NK2T.bin" << 8192 << 0xC2 << "";
    // Named, so that the user sees where it was looked for.
    QTest::newRow("missing file") << "6.8in-telv" << "" << 0 << 0 << "Can not open file. (%1)";
}

void TestUpgrade::contentChecksAndNameRules()
{
    QFETCH(QString, preset);
    QFETCH(QString, file);
    QFETCH(int, size);
    QFETCH(int, first);
    QFETCH(QString, message);
    const auto model = openScreen(preset.toLatin1().constData(), 48);
    QVERIFY(model);
    if (file.isEmpty()) {
        m_boxes->chosenFile = firmwareFolder() + QStringLiteral("/no such file.bin");
    } else {
        Bytes content = size == 24576 ? testimages::upgradeTelvImage(24576) : testimages::pattern(size_t(size), 1);
        content[0] = uint8_t(first);
        if (size == 8192) {
            testimages::put32(content, 0x1FFC, 7);
            testimages::put32(content, 0x1FF8, 0);
        }
        m_boxes->chosenFile = firmwareFolder() + QLatin1Char('/') + file;
        QVERIFY(writeFile(m_boxes->chosenFile, content));
    }
    m_boxes->answers[QStringLiteral("NOTIFY")] = QMessageBox::No;
    m_boxes->answers[QStringLiteral("Notify")] = QMessageBox::Yes;
    m_f->child<QPushButton>("pbUpgrade")->click();
    if (message.isEmpty()) {
        QVERIFY(m_f->session().upgradeRunning());
        QVERIFY(m_f->child("pgUpgrade")->isVisible());
        QCOMPARE(titles().last(), QStringLiteral("Notify"));
        QTRY_VERIFY_WITH_TIMEOUT(!m_f->session().upgradeRunning(), 30000);
        // The final value is queued to this thread; it may trail the end.
        QTRY_COMPARE(m_progress.last(), 100);
    } else {
        QCOMPARE(m_boxes->lastMessage().title, QStringLiteral("Error"));
        QCOMPARE(m_boxes->lastMessage().text,
                 message.contains(QLatin1String("%1")) ? message.arg(m_boxes->chosenFile) : message);
        QVERIFY(m_boxes->lastMessage().parent);
        QVERIFY(!m_f->session().upgradeRunning());
        QVERIFY(!m_f->child("pgUpgrade")->isVisible());
    }
}

void TestUpgrade::secondClickAndClosingWhileRunning()
{
    const auto model = openScreen("6.8in-telv", 49);
    QVERIFY(model);
    const Bytes before = model->flash();
    const Bytes file = testimages::upgradeTelvImage(24576);
    const QString path = firmwareFolder() + QStringLiteral("/TELV/TELV.6d8.TAVRIK.bin");
    QVERIFY(writeFile(path, file));
    m_boxes->answers[QStringLiteral("NOTIFY")] = QMessageBox::Yes;
    m_f->child<QPushButton>("pbUpgrade")->click();
    QVERIFY2(m_f->session().upgradeRunning(), qPrintable(titles().join(',') + " / " + m_boxes->last()));

    // Another image at the same path by now: the running upgrade keeps
    // writing the one it was started with.
    Bytes other = file;
    std::fill(other.end() - 2000, other.end(), uint8_t(0x3C));
    QVERIFY(writeFile(path, other));
    m_boxes->clear();
    m_f->child<QPushButton>("pbUpgrade")->click();
    QCOMPARE(m_boxes->shown(), QStringList{QStringLiteral("Error|A firmware upgrade is running.")});
    QVERIFY(m_boxes->fileRequests.isEmpty());

    // Nothing else reaches the screen while the worker has it.
    const uint64_t headers = model->frameStats().headers;
    m_f->child<QPushButton>("pbRed")->click();
    m_f->child<QPushButton>("pbLEDTest")->click();
    QVERIFY(!m_f->session().ledTestRunning());
    // Closing waits for the upgrade, then closes.
    QVERIFY(!m_f->window->close());
    QVERIFY(m_f->window->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(!m_f->window->isVisible(), 30000);
    QCOMPARE(m_progress.last(), 100);
    QCOMPARE(model->frameStats().headers, headers);
    QVERIFY(m_boxes->lastMessage().text.startsWith(QStringLiteral("Upgrade done")));
    Bytes expected(file.begin(), file.begin() + 0x1000);
    expected.insert(expected.end(), before.begin() + 0x1000, before.begin() + 0x1000 + 8 + 120);
    expected.insert(expected.end(), file.begin() + 0x1000 + 8 + 64, file.end());
    testimages::put32(expected, 12, testimages::expectedChecksum(expected));
    const Bytes flash = model->flash();
    QVERIFY(std::equal(expected.begin(), expected.end(), flash.begin()));
}

void TestUpgrade::logReadOutEndsBeforeTheFirstWrite()
{
    // The upgrade starts while the screen's log is still being read out: no
    // log request may land between its flash requests.
    const auto model = m_f->open("6.8in-telv", 50, [](ScreenModel &m) {
        m.setRebootDelayMs(200);
        m.setIdent(sim::debugIdent(m.preset().ident));
        m.setLog(Bytes(131072, 'L'));
    });
    QVERIFY(model);
    QVERIFY(writeFile(firmwareFolder() + QStringLiteral("/TELV/TELV.6d8.TAVRIK.bin"), testimages::upgradeTelvImage()));
    m_boxes->answers[QStringLiteral("NOTIFY")] = QMessageBox::Yes;
    model->clearRequests();
    const auto isLogRequest = [](const RequestRecord &r) {
        return r.kind == RequestRecord::Kind::Control && r.setup.request >= 0xA5 && r.setup.request <= 0xA7;
    };
    m_f->child<QPushButton>("pbLog")->click();
    const auto logRequests = [&] {
        const auto log = model->requests();
        return std::count_if(log.begin(), log.end(), isLogRequest);
    };
    QTRY_VERIFY(logRequests() > 10);
    QCOMPARE(runUpgrade(), 100);
    const auto log = model->requests();
    const auto firstErase = std::find_if(log.begin(), log.end(), [](const RequestRecord &r) {
        return r.kind == RequestRecord::Kind::Control && r.setup.request == 0xBE;
    });
    QVERIFY(firstErase != log.end());
    QCOMPARE(std::count_if(firstErase, log.end(), isLogRequest), 0);
}

void TestUpgrade::screenSwappedWhileTheBoxesAreUpIsRefused()
{
    // The user answers the first box only after another screen of the
    // other family was plugged in at the same port and the window took it up.
    const auto first = openScreen("6.8in-telv", 51);
    QVERIFY(first);
    const int slot = m_f->slots_.back();
    QVERIFY(writeFile(firmwareFolder() + QStringLiteral("/TELV/TELV.6d8.TAVRIK.bin"), testimages::upgradeTelvImage()));
    auto other = std::make_shared<ScreenModel>(*findPreset("6.8in-k2t"), 0x777);
    const QString otherId = screenlink::formatDeviceId(other->deviceId().data());
    m_boxes->onBox = [this, slot, other, otherId](const dialogs::Message &m) {
        if (m.title != QLatin1String("NOTIFY"))
            return;
        m_f->bus->putInPlace(slot, other);
        m_f->scanUntil([&] { return m_f->window->windowTitle() == QStringLiteral("ID: ") + otherId; });
    };
    m_boxes->answers[QStringLiteral("NOTIFY")] = QMessageBox::Yes;
    m_f->child<QPushButton>("pbUpgrade")->click();
    QVERIFY(!m_f->session().upgradeRunning());
    QCOMPARE(m_boxes->last(), QStringLiteral("Error|The upgrade was not started: the screen at PHY(51.%1) is %2 now, "
                                             "not %3, the one chosen.")
                                  .arg(m_f->bus->portNumber(slot))
                                  .arg(otherId, screenlink::formatDeviceId(first->deviceId().data())));
    // Neither was switched into programming, nor erased.
    for (const auto &m : {first, other}) {
        const auto log = m->requests();
        QVERIFY(std::none_of(log.begin(), log.end(), [](const RequestRecord &r) {
            return r.kind == RequestRecord::Kind::Control && (r.setup.request == 0xB9 || r.setup.request == 0xBE);
        }));
    }
}

QTEST_MAIN(TestUpgrade)
#include "tst_upgrade.moc"
