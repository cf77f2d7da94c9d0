// Firmware upgrade of screens stuck in their boot loaders, through panelctl's
// window: the TELV path that downloads the screen block from the firmware
// server and writes through telvtool, the K2T/K5TX path through eeprom, and
// every way those outside helpers can fail. Runs under umockdev-wrapper with
// the stand-in tools and the stand-in server on 127.0.0.1.
#include "boxrecorder.h"
#include "bridge.h"
#include "devicelist.h"
#include "standinserver.h"
#include "freshstate.h"
#include "panelfixture.h"
#include "splice.h"
#include "testimages.h"

#include <QDir>
#include <QStatusBar>
#include <QMutex>
#include <QSet>
#include <QPushButton>
#include <QTimer>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <atomic>
#include <optional>
#include <thread>

using namespace sim;
using testimages::Bytes;

namespace {

const QString kServerFailed = QStringLiteral("Error|Can not get data from server.");
const QString kFailed = QStringLiteral("Notify|Upgrade firmware failed.");

bool writeFile(const QString &path, const QByteArray &bytes, QFile::Permissions extra = {})
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        return false;
    f.close();
    return !extra || f.setPermissions(f.permissions() | extra);
}

QByteArray raw(const Bytes &b)
{
    return QByteArray(reinterpret_cast<const char *>(b.data()), qsizetype(b.size()));
}

// Hand-over files left in a folder; each run removes its own.
QStringList handOverFiles(const QString &folder)
{
    return QDir(folder).entryList({QStringLiteral("firmware.local*")}, QDir::Files);
}

// What the program's debug output said, from every thread.
QStringList g_debugLines;
QMutex g_debugMutex;
QtMessageHandler g_previousHandler = nullptr;

void keepDebugLine(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    {
        const QMutexLocker lock(&g_debugMutex);
        g_debugLines << text;
    }
    g_previousHandler(type, context, text);
}

QStringList debugLines()
{
    const QMutexLocker lock(&g_debugMutex);
    return g_debugLines;
}



// The screen block the server keeps for a screen: head, length, payload.
Bytes screenBlock(size_t payload, uint8_t seed)
{
    Bytes block = testimages::pattern(8 + payload, seed);
    testimages::put32(block, 4, uint32_t(payload));
    return block;
}

QList<int> toolProgress()
{
    QList<int> v;
    for (int p = 40; p <= 98; p += 2)
        v << p;
    return v << 100;
}

} // namespace

class TestUpgradeBoot : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void telvScreenLeftInBootLoaderIsRecovered();
    void identityIsSentTrimmed();
    void serverFailuresShowTheBoxAndWriteNothing_data();
    void serverFailuresShowTheBoxAndWriteNothing();
    void unusableBlocksEndBeforeAnythingIsWritten_data();
    void unusableBlocksEndBeforeAnythingIsWritten();
    void identityErrorsMakeFiveAttemptsWithoutABox();
    void twoUpgradesAtOnceNeverSwapImages();
    void windowTakesUpTheScreenThatComesBack_data();
    void windowTakesUpTheScreenThatComesBack();
    void missingToolIsNamedBeforeAnythingIsTouched_data();
    void missingToolIsNamedBeforeAnythingIsTouched();
    void failedToolWritesAreFailedUpgrades_data();
    void failedToolWritesAreFailedUpgrades();
    void eepromToolWritesTheImageAndTheScreenRuns();
    void eepromToolOutcomes_data();
    void eepromToolOutcomes();
    void screenFaultsWhileAToolWrites_data();
    void screenFaultsWhileAToolWrites();
    void bootLoaderWithATwinIsRefusedBeforeAnyQuestion_data();
    void bootLoaderWithATwinIsRefusedBeforeAnyQuestion();
    void slowToolWritesAreWaitedForWhole_data();
    void slowToolWritesAreWaitedForWhole();
    void spaceWarningOnlyWhereAToolGetsASpacedPath_data();
    void spaceWarningOnlyWhereAToolGetsASpacedPath();

private:
    QString binDir() const { return m_dir.filePath(QStringLiteral("bin")); }
    QString firmwareFolder() const { return m_dir.filePath(QStringLiteral("firmware")); }
    QString telvFirmware() const { return firmwareFolder() + QStringLiteral("/TELV/TELV.6d8.TAVRIK.bin"); }
    // Puts the stand-in tools in the program's folder; `telvtool` or
    // `eeprom` given here replace them with a script of that body.
    void installTools(const QByteArray &telvtoolScript = {}, const QByteArray &eepromScript = {});
    // A TELV screen identified running, then left in its boot loader.
    std::shared_ptr<ScreenModel> telvInBootLoader(int port, int *slot = nullptr);
    int runUpgrade(int ms = 90000);

    std::unique_ptr<PanelFixture> m_f;
    QTemporaryDir m_dir;
    std::optional<FreshState> m_state;
    fwtest::StandInServer m_server;
    std::unique_ptr<BoxRecorder> m_boxes;
    QList<int> m_progress;
};

void TestUpgradeBoot::initTestCase()
{
    QVERIFY2(qEnvironmentVariableIsSet("LD_PRELOAD"), "run under umockdev-wrapper");
    QVERIFY(m_dir.isValid());
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("bin")));
    g_previousHandler = qInstallMessageHandler(keepDebugLine);
    m_f = std::make_unique<PanelFixture>();
    // Whatever proxy the machine has, the stand-in is reached directly.
    qunsetenv("https_proxy");
    qunsetenv("HTTPS_PROXY");
    qunsetenv("all_proxy");
    qunsetenv("ALL_PROXY");
    QVERIFY2(m_server.start(), qPrintable(m_server.errorString()));
    qputenv("TAVRIK_FIRMWARE_SERVER", m_server.host().toUtf8());
    qputenv("TAVRIK_FIRMWARE_CA", m_server.caFile().toUtf8());
}

void TestUpgradeBoot::init()
{
    m_state.emplace();
    // A recorder of its own per test: no answer or box of the last one is
    // left over. The old one goes first, as it unsets the seams it set.
    m_boxes.reset();
    m_boxes = std::make_unique<BoxRecorder>();
    m_progress.clear();
    installTools();
    {
        const QMutexLocker lock(&g_debugMutex);
        g_debugLines.clear();
    }
    m_f->newWindow();
    m_f->window->setProgramDir(binDir());
    m_f->recordUpgrade(this, [this](int v) { m_progress << v; });
    m_boxes->answers[QStringLiteral("NOTIFY")] = QMessageBox::Yes;
    m_boxes->answers[QStringLiteral("Notify")] = QMessageBox::Yes; // the confirmation
    m_boxes->chosenFile = telvFirmware();
}

void TestUpgradeBoot::cleanup()
{
    if (m_f->window)
        QTRY_VERIFY_WITH_TIMEOUT(!m_f->session().upgradeRunning(), 90000);
    m_f->clear();
}

void TestUpgradeBoot::installTools(const QByteArray &telvtoolScript, const QByteArray &eepromScript)
{
    const auto put = [this](const char *name, const char *stock, const QByteArray &script) {
        const QString path = binDir() + QLatin1Char('/') + QLatin1String(name);
        QFile::remove(path);
        if (script.isEmpty())
            QVERIFY(QFile::copy(QString::fromUtf8(stock), path));
        else
            QVERIFY(writeFile(path, "#!/bin/sh\n" + script + "\n", QFile::ExeOwner));
    };
    put("telvtool", TELVTOOL_PATH, telvtoolScript);
    put("eeprom", EEPROM_PATH, eepromScript);
    // Scripts that hand a call on to the stock tool find it here.
    const QString stock = binDir() + QStringLiteral("/telvtool.stock");
    QFile::remove(stock);
    QVERIFY(QFile::copy(QStringLiteral(TELVTOOL_PATH), stock));
}

std::shared_ptr<ScreenModel> TestUpgradeBoot::telvInBootLoader(int port, int *slot)
{
    const int s = m_f->attach("6.8in-telv", port, [](ScreenModel &m) {
        m.setRebootDelayMs(200);
        m.setFlash({}); // its firmware is gone
        m.setMode(Mode::TelvBootLoader);
    });
    if (slot)
        *slot = s;
    const auto model = m_f->bus->model(s);
    if (!m_f->scanUntil([&] { return m_f->screen() != nullptr; }))
        return nullptr;
    return model;
}

int TestUpgradeBoot::runUpgrade(int ms)
{
    return m_f->runUpgrade(m_progress, ms);
}

void TestUpgradeBoot::telvScreenLeftInBootLoaderIsRecovered()
{
    // A running screen whose upgrade failed in the middle of programming:
    // from the 40th chunk on, its flash takes nothing more.
    const int slot = m_f->attach("6.8in-telv", 30, [](ScreenModel &m) { m.setRebootDelayMs(200); });
    QVERIFY(m_f->scanUntil([&] { return m_f->screen() && m_f->status().startsWith("TELV "); }));
    const auto model = m_f->bus->model(slot);
    const Bytes before = model->flash();
    const auto ownBlock = fwimage::screenBlock(fwimage::ByteView(before.data(), 24576));
    QVERIFY(ownBlock.ok());
    const Bytes block(ownBlock.value.begin(), ownBlock.value.end());
    m_server.putBlock(QString::fromStdString(model->telvIdentity()), raw(block));
    QVERIFY(writeFile(telvFirmware(), raw(testimages::upgradeTelvImage())));
    int programs = 0;
    model->setRequestFilter([&programs](const Setup &s, const uint8_t *out, size_t n) {
        if (s.request == 0xB5 && n == 54 && out[0] == 0x51 && ++programs >= 40)
            return ScreenModel::FilterAction::Stall;
        return ScreenModel::FilterAction::Pass;
    });
    QCOMPARE(runUpgrade(), -1);
    QVERIFY(m_boxes->last().startsWith(QStringLiteral("Notify|The firmware upgrade did not finish: ")));
    model->setRequestFilter({});

    // Power-cycled, it cannot start its half-written firmware.
    m_f->bus->unplug(slot);
    QVERIFY(m_f->scanUntil([&] { return m_f->screen() == nullptr; }));
    m_f->bus->replug(slot);
    QVERIFY(m_f->scanUntil([&] { return model->mode() == Mode::TelvBootLoader && m_f->screen()
                                        && m_f->status().contains(QLatin1String("write TELV firmware")); }));
    m_progress.clear();
    m_boxes->clear();
    const int result = runUpgrade();
    QVERIFY2(result == 100, qPrintable(QStringLiteral("ended at %1; boxes: %2; status: %3")
                                           .arg(result)
                                           .arg(m_boxes->shown().join(QLatin1Char(';')), m_f->status())));
    // Nothing during the download; the tool's values; then done.
    QCOMPARE(m_progress, toolProgress());
    QCOMPARE(m_boxes->titles(), (QStringList{QStringLiteral("NOTIFY"), QStringLiteral("Notify")}));
    QCOMPARE(m_boxes->last(), QStringLiteral("Notify|Upgrade done, the screen restarted with firmware v0.18 (before: "
                                             "unknown).\n\nIts screen block came from the firmware server."));

    // telvtool reset: it comes back running its new firmware, which carries
    // the downloaded block with its first payload byte set to 0xFF.
    QVERIFY(m_f->scanUntil([&] { return model->mode() == Mode::Running && m_f->screen()
                                        && m_f->status().startsWith("TELV "); }, 10000));
    Bytes expectedBlock = block;
    expectedBlock[8] = 0xFF;
    const Bytes flash = model->flash();
    QVERIFY(std::equal(expectedBlock.begin(), expectedBlock.end(), flash.begin() + 0x1000));
    const Bytes image = testimages::upgradeTelvImage();
    QVERIFY(std::equal(image.begin(), image.begin() + 12, flash.begin()));
    // The whole assembled image went to the flash, and the hand-over file
    // it went through is gone.
    const auto assembled = fwimage::spliceScreenBlock(expectedBlock, image);
    QVERIFY(assembled.ok());
    QVERIFY(std::equal(assembled.value.buffer.begin(),
                       assembled.value.buffer.begin() + std::ptrdiff_t(assembled.value.writeLength), flash.begin()));
    QCOMPARE(handOverFiles(binDir()), QStringList());
    // The server's answer is told plainly, without a stray error text.
    QVERIFY2(debugLines().filter(QRegularExpression(QStringLiteral("^Firmware server: HTTP 200 \\(\\d+ bytes\\)$")))
                 .size() == 1,
             qPrintable(debugLines().join(QLatin1Char('\n'))));
    QVERIFY(debugLines().filter(QStringLiteral("Unknown error")).isEmpty());
}

void TestUpgradeBoot::identityIsSentTrimmed()
{
    installTools("d=$(dirname \"$0\")\n"
                 "if [ \"$1\" = id ]; then printf '   %s\\n\\n' \"$(\"$d/telvtool.stock\" id)\"; exit 0; fi\n"
                 "exec \"$d/telvtool.stock\" \"$@\"");
    const auto model = telvInBootLoader(31);
    QVERIFY(model);
    m_server.putBlock(QString::fromStdString(model->telvIdentity()), raw(screenBlock(120, 0x41)));
    QVERIFY(writeFile(telvFirmware(), raw(testimages::upgradeTelvImage())));
    QCOMPARE(runUpgrade(), 100);
    QVERIFY(m_boxes->shown().filter(kServerFailed).isEmpty());
    QCOMPARE(model->flash()[0x1000], uint8_t(screenBlock(120, 0x41)[0]));
    QVERIFY(m_f->scanUntil([&] { return model->mode() == Mode::Running && m_f->screen(); }, 10000));
}

void TestUpgradeBoot::serverFailuresShowTheBoxAndWriteNothing_data()
{
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("said");
    QTest::newRow("no server") << QStringLiteral("no server") << QStringLiteral("it could not be reached: Connection refused");
    QTest::newRow("no markers") << QStringLiteral("no markers")
                                << QStringLiteral("it has none for this identity");
    QTest::newRow("unknown screen") << QStringLiteral("unknown screen")
                                    << QStringLiteral("it answered HTTP 404 Not Found");
    QTest::newRow("untrusted certificate") << QStringLiteral("untrusted certificate")
                                           << QStringLiteral("its certificate was refused: ");
    QTest::newRow("reply after the limit") << QStringLiteral("reply after the limit")
                                           << QStringLiteral("it did not answer within 12 s (unreachable)");
    QTest::newRow("reply beyond 64 KiB") << QStringLiteral("oversized")
                                         << QStringLiteral("its reply is longer than 65536 bytes");
}

void TestUpgradeBoot::serverFailuresShowTheBoxAndWriteNothing()
{
    QFETCH(QString, failure);
    QFETCH(QString, said);
    const auto model = telvInBootLoader(32);
    QVERIFY(model);
    const QString identity = QString::fromStdString(model->telvIdentity());
    QVERIFY(writeFile(telvFirmware(), raw(testimages::upgradeTelvImage())));
    const Bytes flashBefore = model->flash();

    fwtest::StandInServer other;
    if (failure == QLatin1String("no server")) {
        // A port that was free a moment ago: nobody answers there.
        QVERIFY(other.start());
        const QString host = other.host();
        other.stop();
        qputenv("TAVRIK_FIRMWARE_SERVER", host.toUtf8());
    } else if (failure != QLatin1String("unknown screen")) {
        QStringList args;
        if (failure == QLatin1String("no markers"))
            args << QStringLiteral("--reply") << QStringLiteral("nomarkers");
        if (failure == QLatin1String("reply after the limit"))
            args << QStringLiteral("--delay-ms") << QStringLiteral("14000");
        if (failure == QLatin1String("oversized"))
            args << QStringLiteral("--reply") << QStringLiteral("oversized");
        QVERIFY(other.start(args, failure == QLatin1String("untrusted certificate")));
        other.putBlock(identity, raw(screenBlock(120, 0x42)));
        qputenv("TAVRIK_FIRMWARE_SERVER", other.host().toUtf8());
    }

    const QString tried = qEnvironmentVariable("TAVRIK_FIRMWARE_SERVER");
    QCOMPARE(runUpgrade(), -1);
    qputenv("TAVRIK_FIRMWARE_SERVER", m_server.host().toUtf8());
    // The box first, then the failure; no further attempt, nothing written.
    const QStringList shown = m_boxes->shown();
    QCOMPARE(shown.size() >= 2 ? shown.last() : QString(), kFailed);
    // The box names the server it tried, the identity and why.
    const QString serverBox = shown.value(shown.size() - 2);
    QVERIFY2(serverBox.startsWith(kServerFailed) && serverBox.contains(said) && serverBox.contains(identity)
                 && serverBox.contains(tried),
             qPrintable(serverBox));
    QCOMPARE(m_progress, QList<int>{-1});
    QCOMPARE(handOverFiles(binDir()), QStringList());
    QVERIFY(model->flash() == flashBefore);
    QCOMPARE(model->mode(), Mode::TelvBootLoader);
    // Why, in words a person can act on.
    const QStringList lines = debugLines();
    QVERIFY2(!lines.filter(said).isEmpty(), qPrintable(lines.join(QLatin1Char('\n'))));
    QVERIFY(lines.filter(QStringLiteral("Unknown error")).isEmpty());
    QVERIFY(lines.filter(QStringLiteral("device not open")).isEmpty());
}

void TestUpgradeBoot::unusableBlocksEndBeforeAnythingIsWritten_data()
{
    QTest::addColumn<QByteArray>("block");
    QTest::newRow("head only") << raw(Bytes(8, 0x00));
    Bytes lying = screenBlock(120, 0x43);
    testimages::put32(lying, 4, 5000);
    QTest::newRow("length says more than it holds") << raw(lying);
    QTest::newRow("larger than the boot region") << raw(screenBlock(24576, 0x44));
    QTest::newRow("not Base64") << QByteArray();
}

void TestUpgradeBoot::unusableBlocksEndBeforeAnythingIsWritten()
{
    QFETCH(QByteArray, block);
    const auto model = telvInBootLoader(33);
    QVERIFY(model);
    const QString identity = QString::fromStdString(model->telvIdentity());
    QVERIFY(writeFile(telvFirmware(), raw(testimages::upgradeTelvImage())));
    fwtest::StandInServer garbage;
    if (block.isEmpty()) {
        QVERIFY(garbage.start({QStringLiteral("--reply"), QStringLiteral("garbage")}));
        qputenv("TAVRIK_FIRMWARE_SERVER", garbage.host().toUtf8());
    } else {
        m_server.putBlock(identity, block);
    }
    const int result = runUpgrade();
    qputenv("TAVRIK_FIRMWARE_SERVER", m_server.host().toUtf8());
    QCOMPARE(result, -1);
    QCOMPARE(m_progress, QList<int>{-1});
    QVERIFY(m_boxes->shown().filter(kServerFailed).isEmpty());
    QCOMPARE(m_boxes->last(), kFailed);
    QCOMPARE(handOverFiles(binDir()), QStringList());
    QCOMPARE(model->mode(), Mode::TelvBootLoader);
}

void TestUpgradeBoot::identityErrorsMakeFiveAttemptsWithoutABox()
{
    const QString count = m_dir.filePath(QStringLiteral("id-calls"));
    QFile::remove(count);
    installTools("if [ \"$1\" = id ]; then echo x >> '" + count.toUtf8() + "'; echo 'ERROR: no answer'; exit 1; fi\n"
                 "exit 3");
    const auto model = telvInBootLoader(34);
    QVERIFY(model);
    QVERIFY(writeFile(telvFirmware(), raw(testimages::upgradeTelvImage())));
    QCOMPARE(runUpgrade(), -1);
    QFile calls(count);
    QVERIFY(calls.open(QIODevice::ReadOnly));
    QCOMPARE(calls.readAll().count('\n'), 5);
    QVERIFY(m_boxes->shown().filter(kServerFailed).isEmpty());
    QCOMPARE(m_boxes->last(), kFailed);
    QCOMPARE(m_progress, QList<int>{-1});
}

void TestUpgradeBoot::twoUpgradesAtOnceNeverSwapImages()
{
    // Two boot-loader screens upgraded at the same time by two programs in
    // one folder, each with a different image. The tool takes its time
    // before it reads the file it was given, so a hand-over file shared by
    // the two runs would carry the second image to both.
    const QString got = m_dir.filePath(QStringLiteral("got"));
    QDir(got).removeRecursively();
    QVERIFY(QDir().mkpath(got));
    installTools("if [ \"$1\" = id ]; then echo UNIT-TWO; exit 0; fi\n"
                 "if [ \"$1\" = spinor ]; then sleep 1; cp \"$4\" '" + got.toUtf8() + "/'$$; echo written; exit 0; fi\n"
                 "exit 0");
    const Bytes block = screenBlock(120, 0x47);
    m_server.putBlock(QStringLiteral("UNIT-TWO"), raw(block));
    Bytes second = testimages::upgradeTelvImage();
    std::fill(second.end() - 2000, second.end(), uint8_t(0x3C));
    const Bytes images[2] = {testimages::upgradeTelvImage(), second};
    QSet<QByteArray> expected;
    Bytes sent = block;
    sent[8] = 0xFF;
    for (int i = 0; i < 2; ++i) {
        const QString path = m_dir.filePath(QStringLiteral("two/%1/TELV.6d8.bin").arg(i));
        QVERIFY(writeFile(path, raw(images[i])));
        const auto assembled = fwimage::spliceScreenBlock(sent, images[i]);
        QVERIFY(assembled.ok());
        expected << raw(Bytes(assembled.value.buffer.begin(),
                              assembled.value.buffer.begin() + std::ptrdiff_t(assembled.value.writeLength)));
    }
    QCOMPARE(expected.size(), 2);

    // Their values go to a receiver of this scope, which takes whatever is
    // still queued with it when the test ends early.
    QList<int> results;
    QObject receiver;
    session::UpgradeWorker workers[2];
    session::UpgradeRequest requests[2];
    for (int i = 0; i < 2; ++i) {
        requests[i].firmwarePath = m_dir.filePath(QStringLiteral("two/%1/TELV.6d8.bin").arg(i));
        requests[i].firmware = raw(images[i]);
        requests[i].target.kind = screenlink::DeviceKind::TelvBootLoader;
        requests[i].toolDir = binDir();
        connect(&workers[i], &session::UpgradeWorker::upgradeFinished, &receiver,
                [&results](const session::UpgradeResult &r) { results << (r.done() ? 100 : -1); });
    }
    for (int i = 0; i < 2; ++i)
        QVERIFY(workers[i].begin(requests[i]));
    QTRY_COMPARE_WITH_TIMEOUT(results.size(), 2, 60000);
    QCOMPARE(results, (QList<int>{100, 100}));

    QSet<QByteArray> received;
    for (const QString &name : QDir(got).entryList(QDir::Files)) {
        QFile f(got + QLatin1Char('/') + name);
        QVERIFY(f.open(QIODevice::ReadOnly));
        received << f.readAll();
    }
    QCOMPARE(received, expected);
    QCOMPARE(handOverFiles(binDir()), QStringList());
}

void TestUpgradeBoot::windowTakesUpTheScreenThatComesBack_data()
{
    QTest::addColumn<bool>("telv");
    QTest::addColumn<bool>("replug");
    QTest::newRow("TELV boot loader, restarted") << true << false;
    QTest::newRow("TELV boot loader, restarted and replugged") << true << true;
    QTest::newRow("K2T/K5TX boot loader, replugged") << false << true;
}

void TestUpgradeBoot::windowTakesUpTheScreenThatComesBack()
{
    // After the upgrade of a boot-loader screen, the screen comes back at
    // its port running its new firmware, here without the window seeing it
    // leave. The window must take it up within a few scans and send to it.
    QFETCH(bool, telv);
    QFETCH(bool, replug);
    int slot = 0;
    std::shared_ptr<ScreenModel> model;
    if (telv) {
        model = telvInBootLoader(50, &slot);
        QVERIFY(model);
        m_server.putBlock(QString::fromStdString(model->telvIdentity()), raw(screenBlock(120, 0x48)));
        QVERIFY(writeFile(telvFirmware(), raw(testimages::upgradeTelvImage())));
    } else {
        slot = m_f->attach("6.8in-k2t", 50, [](ScreenModel &m) {
            m.setConfig(0, {0xFF});
            m.setMode(Mode::K2tBootLoader);
        });
        model = m_f->bus->model(slot);
        QVERIFY(m_f->scanUntil([&] { return m_f->screen() != nullptr; }));
        m_boxes->chosenFile = firmwareFolder() + QStringLiteral("/K2T-K5TX/7NDK2T.bin");
        QVERIFY(writeFile(m_boxes->chosenFile, raw(testimages::upgradeEepromImage())));
    }
    const int addressBefore = m_f->bus->deviceAddress(slot);
    auto held = std::make_shared<bool>(false);
    sim::VirtualBus *bus = m_f->bus.get();
    // Right after the result box (and, for TELV, the restart): the screen
    // restarts, or is replugged, while no scan can run.
    m_boxes->onBox = [this, bus, slot, model, addressBefore, held, telv, replug](const dialogs::Message &m) {
        if (!m.text.startsWith(QLatin1String("Upgrade done")))
            return;
        QTimer::singleShot(0, this, [bus, slot, model, addressBefore, held, telv, replug] {
            if (!telv) {
                *held = true;
                return;
            }
            *held = PanelFixture::holdUntil([bus, slot, model, addressBefore] {
                return model->mode() == Mode::Running && bus->deviceAddress(slot) > 0
                       && bus->deviceAddress(slot) != addressBefore;
            });
            if (replug) {
                const int address = bus->deviceAddress(slot);
                bus->replug(slot);
                *held = *held && PanelFixture::holdUntil([bus, slot, address] {
                    return bus->deviceAddress(slot) > 0 && bus->deviceAddress(slot) != address;
                });
            }
        });
    };
    QCOMPARE(runUpgrade(), 100);
    QTRY_VERIFY(*held);
    if (!telv) {
        // Still in its boot loader until it is replugged: opened again as such.
        QVERIFY(m_f->withinScans(3, [&] {
            return m_f->screen() && m_f->status().contains(QLatin1String("write K2T/K5TX firmware"));
        }));
        const int address = m_f->bus->deviceAddress(slot);
        m_f->bus->replug(slot);
        QVERIFY(PanelFixture::holdUntil([&] {
            return model->mode() == Mode::Running && m_f->bus->deviceAddress(slot) > 0
                   && m_f->bus->deviceAddress(slot) != address;
        }));
    }

    const QString id = screenlink::formatDeviceId(model->deviceId().data());
    QVERIFY2(m_f->withinScans(3, [&] {
        return m_f->screen() && m_f->window->windowTitle() == QStringLiteral("ID: ") + id;
    }), qPrintable(m_f->status() + QLatin1Char('|') + m_f->window->windowTitle()));
    QVERIFY(m_f->status().endsWith(QStringLiteral(", ") + id));
    QVERIFY(m_f->lampGreen());
    QCOMPARE(m_f->list()->count(), 1);
    QCOMPARE(m_f->list()->currentText().section(QLatin1Char(','), 1),
             id + QLatin1Char(',') + screenlink::phyText(m_f->bus->busNumber(slot), m_f->bus->portNumber(slot)));
    // And what the window sends, the screen gets.
    QTest::qWait(1200);
    const uint64_t frames = model->frameSerial();
    QVERIFY(m_f->pictureAfter([&] { m_f->child<QPushButton>("pbRed")->click(); }));
    QCOMPARE(model->frameSerial(), frames + 1);
    const Bytes frame = model->lastFrame();
    QCOMPARE(frame.size(), size_t(800 * 480 * 2));
    QCOMPARE(std::count(frame.begin(), frame.end(), uint8_t(0xF8)), qsizetype(800 * 480));
}

void TestUpgradeBoot::missingToolIsNamedBeforeAnythingIsTouched_data()
{
    QTest::addColumn<bool>("telv");
    QTest::newRow("telvtool") << true;
    QTest::newRow("eeprom") << false;
}

void TestUpgradeBoot::missingToolIsNamedBeforeAnythingIsTouched()
{
    QFETCH(bool, telv);
    std::shared_ptr<ScreenModel> model;
    if (telv) {
        model = telvInBootLoader(51);
        QVERIFY(model);
        QVERIFY(writeFile(telvFirmware(), raw(testimages::upgradeTelvImage())));
    } else {
        const int slot = m_f->attach("6.8in-k2t", 51, [](ScreenModel &m) {
            m.setConfig(0, {0xFF});
            m.setMode(Mode::K2tBootLoader);
        });
        model = m_f->bus->model(slot);
        QVERIFY(m_f->scanUntil([&] { return m_f->screen() != nullptr; }));
        m_boxes->chosenFile = firmwareFolder() + QStringLiteral("/K2T-K5TX/7NDK2T.bin");
        QVERIFY(writeFile(m_boxes->chosenFile, raw(testimages::upgradeEepromImage())));
    }
    const QString tool = telv ? QStringLiteral("telvtool") : QStringLiteral("eeprom");
    QVERIFY(QFile::remove(binDir() + QLatin1Char('/') + tool));
    const Bytes flash = model->flash();
    const Bytes config = model->config();
    model->clearRequests();
    m_f->child<QPushButton>("pbUpgrade")->click();
    QCOMPARE(m_boxes->last(), QStringLiteral("Error|The boot-loader tool %1 is missing. Put the screen maker's %1 into "
                                            "%2 and try again.")
                                 .arg(tool, binDir()));
    QTest::qWait(300);
    QVERIFY(m_progress.isEmpty());
    QVERIFY(!m_f->session().upgradeRunning());
    QVERIFY(m_f->screen()); // still open, nothing handed over
    QVERIFY(model->flash() == flash);
    QVERIFY(model->config() == config);
    QVERIFY(model->requests().empty());
}

void TestUpgradeBoot::failedToolWritesAreFailedUpgrades_data()
{
    QTest::addColumn<QByteArray>("spinor");
    QTest::newRow("says ERROR") << QByteArray("echo 'ERROR: flash write failed'; exit 0");
    QTest::newRow("says error") << QByteArray("echo 'spi error at 0x1000'; exit 0");
    QTest::newRow("crashes") << QByteArray("kill -SEGV $$");
    QTest::newRow("exits 1 without a word of error") << QByteArray("echo 'Failed to open device'; exit 1");
    QTest::newRow("gone after reading the identity") << QByteArray();
}

void TestUpgradeBoot::failedToolWritesAreFailedUpgrades()
{
    QFETCH(QByteArray, spinor);
    const QByteArray dispatch = "d=$(dirname \"$0\")\n"
                                "if [ \"$1\" = spinor ]; then " + spinor + "; fi\n"
                                "exec \"$d/telvtool.stock\" \"$@\"";
    const QByteArray vanishing = "d=$(dirname \"$0\")\n"
                                 "if [ \"$1\" = id ]; then \"$d/telvtool.stock\" id; s=$?; rm -f \"$0\"; exit $s; fi\n"
                                 "exec \"$d/telvtool.stock\" \"$@\"";
    installTools(spinor.isEmpty() ? vanishing : dispatch);
    const auto model = telvInBootLoader(35);
    QVERIFY(model);
    m_server.putBlock(QString::fromStdString(model->telvIdentity()), raw(screenBlock(120, 0x45)));
    QVERIFY(writeFile(telvFirmware(), raw(testimages::upgradeTelvImage())));
    QCOMPARE(runUpgrade(), -1);
    QCOMPARE(m_boxes->last(), kFailed);
    QCOMPARE(m_progress.last(), -1);
    QVERIFY(!m_progress.contains(100));
    // No restart was tried on a failed write.
    QCOMPARE(model->mode(), Mode::TelvBootLoader);
}

void TestUpgradeBoot::eepromToolWritesTheImageAndTheScreenRuns()
{
    const int slot = m_f->attach("6.8in-k2t", 36, [](ScreenModel &m) {
        m.setConfig(0, {0xFF}); // its EEPROM image is gone
        m.setMode(Mode::K2tBootLoader);
    });
    const auto model = m_f->bus->model(slot);
    QVERIFY(m_f->scanUntil([&] { return m_f->screen() != nullptr; }));
    QVERIFY(m_f->status().contains(QLatin1String("write K2T/K5TX firmware")));
    const Bytes image = testimages::upgradeEepromImage();
    const QString path = firmwareFolder() + QStringLiteral("/K2T-K5TX/7NDK2T.bin");
    QVERIFY(writeFile(path, raw(image)));
    m_boxes->chosenFile = path;
    QCOMPARE(runUpgrade(), 100);
    QCOMPARE(m_progress.first(), 0);
    for (int i = 1; i < m_progress.size() - 1; ++i)
        QCOMPARE(m_progress[i], m_progress[i - 1] + 5);
    QCOMPARE(m_boxes->last(), QStringLiteral("Notify|Upgrade done, please unplug to reboot the screen."));
    QVERIFY(model->config() == image);

    // Replugged as the box asks, the screen runs and the window takes it.
    m_f->bus->unplug(slot);
    QVERIFY(m_f->scanUntil([&] { return m_f->list()->count() == 0; }));
    m_f->bus->replug(slot);
    QVERIFY(m_f->scanUntil([&] { return model->mode() == Mode::Running && m_f->screen()
                                        && m_f->status().startsWith(QLatin1String("6.8inch")); }, 10000));
}

void TestUpgradeBoot::eepromToolOutcomes_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<int>("result");
    QTest::newRow("lower-case error, exit 0") << QByteArray("echo 'eeprom write error'; exit 0") << -1;
    QTest::newRow("ERROR") << QByteArray("echo 'ERROR: no device'; exit 1") << -1;
    QTest::newRow("exit 1 without a word of error") << QByteArray("echo 'Failed to open device'; exit 1") << -1;
    QTest::newRow("silence") << QByteArray("exit 0") << 100;
    QTest::newRow("crash without a word") << QByteArray("kill -SEGV $$") << -1;
    QTest::newRow("slow but fine") << QByteArray("sleep 2; echo written") << 100;
}

void TestUpgradeBoot::eepromToolOutcomes()
{
    QFETCH(QByteArray, script);
    QFETCH(int, result);
    const QString args = m_dir.filePath(QStringLiteral("eeprom-args"));
    const QString given = m_dir.filePath(QStringLiteral("eeprom-file"));
    installTools({}, "printf '%s|' \"$@\" > '" + args.toUtf8() + "'\ncp \"$2\" '" + given.toUtf8() + "'\n" + script);
    m_f->attach("6.8in-k2t", 37, [](ScreenModel &m) {
        m.setConfig(0, {0xFF});
        m.setMode(Mode::K2tBootLoader);
    });
    QVERIFY(m_f->scanUntil([&] { return m_f->screen() != nullptr; }));
    const QString path = firmwareFolder() + QStringLiteral("/K2T-K5TX/7NDK2T.bin");
    QVERIFY(writeFile(path, raw(testimages::upgradeEepromImage())));
    m_boxes->chosenFile = path;
    QCOMPARE(runUpgrade(), result);
    QCOMPARE(m_boxes->last(), result == 100 ? QStringLiteral("Notify|Upgrade done, please unplug to reboot the screen.")
                                           : kFailed);
    // A private copy of the bytes that were checked, under an absolute
    // path of its own, gone after the write: the chosen file may have
    // changed since, and a name such as -x.bin would pass for an option.
    QFile f(args);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QString said = QString::fromUtf8(f.readAll());
    QVERIFY2(said.startsWith(QStringLiteral("w|") + binDir() + QStringLiteral("/firmware.local.")), qPrintable(said));
    QFile copy(given);
    QVERIFY(copy.open(QIODevice::ReadOnly));
    QCOMPARE(copy.readAll(), raw(testimages::upgradeEepromImage()));
    QCOMPARE(handOverFiles(binDir()), QStringList());
    // The window is still usable: it answers a click with its first box.
    m_boxes->clear();
    m_boxes->answers[QStringLiteral("NOTIFY")] = QMessageBox::Cancel;
    m_f->child<QPushButton>("pbUpgrade")->click();
    QVERIFY(!m_boxes->shown().isEmpty());
}

void TestUpgradeBoot::screenFaultsWhileAToolWrites_data()
{
    QTest::addColumn<bool>("telv");
    QTest::addColumn<QString>("fault");
    for (bool telv : {true, false})
        for (const char *fault : {"unplugged", "silent", "lying"})
            QTest::newRow(qPrintable(QStringLiteral("%1, %2").arg(telv ? "telvtool" : "eeprom", fault)))
                << telv << QString::fromLatin1(fault);
}

void TestUpgradeBoot::screenFaultsWhileAToolWrites()
{
    QFETCH(bool, telv);
    QFETCH(QString, fault);
    int slot = 0;
    std::shared_ptr<ScreenModel> model;
    if (telv) {
        model = telvInBootLoader(38, &slot);
        QVERIFY(model);
        m_server.putBlock(QString::fromStdString(model->telvIdentity()), raw(screenBlock(120, 0x46)));
        QVERIFY(writeFile(telvFirmware(), raw(testimages::upgradeTelvImage())));
    } else {
        slot = m_f->attach("6.8in-k2t", 39, [](ScreenModel &m) {
            m.setConfig(0, {0xFF});
            m.setMode(Mode::K2tBootLoader);
        });
        model = m_f->bus->model(slot);
        QVERIFY(m_f->scanUntil([&] { return m_f->screen() != nullptr; }));
        m_boxes->chosenFile = firmwareFolder() + QStringLiteral("/K2T-K5TX/7NDK2T.bin");
        QVERIFY(writeFile(m_boxes->chosenFile, raw(testimages::upgradeEepromImage())));
    }
    // The tool's own write requests trip the fault, half-way through.
    const uint8_t writeRequest = telv ? 0x52 : 0x60;
    // Shared with the filter, which the model may still hold if this test
    // stops early.
    auto writes = std::make_shared<std::atomic<int>>(0);
    auto tripped = std::make_shared<std::atomic<bool>>(false);
    const bool lying = fault == QLatin1String("lying");
    model->setRequestFilter([writes, tripped, lying, writeRequest](const Setup &s, const uint8_t *, size_t) {
        if (s.request == writeRequest && ++*writes == 3)
            *tripped = true;
        return *tripped && !lying ? ScreenModel::FilterAction::Silent : ScreenModel::FilterAction::Pass;
    });
    std::thread actor([&] {
        for (int i = 0; i < 60000 && !*tripped; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (fault == QLatin1String("unplugged")) {
            m_f->bus->unplug(slot);
        } else if (lying) {
            Faults lies;
            lies.shortReply = 1;
            model->setFaults(lies);
        }
    });
    const int result = runUpgrade();
    actor.join();
    QVERIFY(*tripped);
    QCOMPARE(result, -1);
    QCOMPARE(m_boxes->last(), kFailed);
    QVERIFY(!m_progress.contains(100));
    // No restart was tried, and the window goes on.
    model->setRequestFilter({});
    model->setFaults({});
    if (fault == QLatin1String("unplugged")) {
        QVERIFY(m_f->scanUntil([&] { return m_f->list()->count() == 0; }));
        // The selection that follows the emptied list says so.
        QTRY_COMPARE(m_f->status(), QStringLiteral("No device."));
    } else {
        QCOMPARE(model->mode(), telv ? Mode::TelvBootLoader : Mode::K2tBootLoader);
    }
    QVERIFY(!m_f->session().upgradeRunning());
}

void TestUpgradeBoot::bootLoaderWithATwinIsRefusedBeforeAnyQuestion_data()
{
    QTest::addColumn<bool>("telv");
    QTest::newRow("TELV") << true;
    QTest::newRow("K2T/K5TX") << false;
}

void TestUpgradeBoot::bootLoaderWithATwinIsRefusedBeforeAnyQuestion()
{
    QFETCH(bool, telv);
    std::shared_ptr<ScreenModel> models[2];
    for (int i = 0; i < 2; ++i) {
        const int slot = m_f->attach(telv ? "6.8in-telv" : "6.8in-k2t", 40, [telv](ScreenModel &m) {
            if (telv) {
                m.setFlash({});
                m.setMode(Mode::TelvBootLoader);
            } else {
                m.setConfig(0, {0xFF});
                m.setMode(Mode::K2tBootLoader);
            }
        });
        models[i] = m_f->bus->model(slot);
    }
    QVERIFY(m_f->scanUntil([&] { return m_f->screen() && m_f->list()->count() == 2; }));
    const Bytes flash[2] = {models[0]->flash(), models[1]->flash()};
    const Bytes config[2] = {models[0]->config(), models[1]->config()};
    m_f->child<QPushButton>("pbUpgrade")->click();
    const QStringList shown = m_boxes->shown();
    QCOMPARE(shown.size(), 1);
    QVERIFY2(shown[0].startsWith(QStringLiteral("Error|The upgrade was not started: the ")
                                 + (telv ? QStringLiteral("TELV") : QStringLiteral("K2T/K5TX"))
                                 + QStringLiteral(" boot loader's tool writes whichever screen it finds there")),
             qPrintable(shown[0]));
    QVERIFY(shown[0].endsWith(QStringLiteral(" waits there too: unplug it, then upgrade this screen alone.")));
    QVERIFY(m_boxes->fileRequests.isEmpty());
    QVERIFY(!m_f->session().upgradeRunning());
    for (int i = 0; i < 2; ++i) {
        QVERIFY(models[i]->flash() == flash[i]);
        QVERIFY(models[i]->config() == config[i]);
    }
}

void TestUpgradeBoot::slowToolWritesAreWaitedForWhole_data()
{
    QTest::addColumn<bool>("telv");
    QTest::addColumn<int>("delayMs"); // per request: the write takes about twice the usual time
    QTest::newRow("telvtool") << true << 300;
    QTest::newRow("eeprom") << false << 16;
}

void TestUpgradeBoot::slowToolWritesAreWaitedForWhole()
{
    // A tenth of the usual time: 3 s for telvtool, 2 s for eeprom.
    session::UpgradeWorker::setToolStepMs(100);
    QFETCH(bool, telv);
    QFETCH(int, delayMs);
    std::shared_ptr<ScreenModel> model;
    const Bytes image = telv ? testimages::upgradeTelvImage() : testimages::upgradeEepromImage();
    Bytes block = screenBlock(120, 0x47);
    if (telv) {
        model = telvInBootLoader(41);
        QVERIFY(model);
        m_server.putBlock(QString::fromStdString(model->telvIdentity()), raw(block));
        QVERIFY(writeFile(telvFirmware(), raw(image)));
    } else {
        const int slot = m_f->attach("6.8in-k2t", 41, [](ScreenModel &m) {
            m.setConfig(0, {0xFF});
            m.setMode(Mode::K2tBootLoader);
        });
        model = m_f->bus->model(slot);
        QVERIFY(m_f->scanUntil([&] { return m_f->screen() != nullptr; }));
        m_boxes->chosenFile = firmwareFolder() + QStringLiteral("/K2T-K5TX/7NDK2T.bin");
        QVERIFY(writeFile(m_boxes->chosenFile, raw(image)));
    }
    QStringList said;
    connect(m_f->window->statusBar(), &QStatusBar::messageChanged, this, [&said](const QString &m) { said << m; });
    Faults slow;
    slow.delayMs = delayMs;
    model->setFaults(slow);
    const int result = runUpgrade();
    model->setFaults({});
    session::UpgradeWorker::setToolStepMs(1000);
    QCOMPARE(result, 100);
    QVERIFY2(said.contains(session::stillWritingText()), qPrintable(said.join(QLatin1Char('\n'))));
    if (telv) {
        block[8] = 0xFF;
        const auto assembled = fwimage::spliceScreenBlock(block, image);
        QVERIFY(std::equal(assembled.value.buffer.begin(),
                           assembled.value.buffer.begin() + std::ptrdiff_t(assembled.value.writeLength),
                           model->flash().begin()));
    } else {
        QVERIFY(model->config() == image);
    }
}

void TestUpgradeBoot::spaceWarningOnlyWhereAToolGetsASpacedPath_data()
{
    QTest::addColumn<bool>("bootLoader");
    QTest::addColumn<QString>("cache");    // the user's cache folder, in the test's folder
    QTest::addColumn<bool>("warned");
    QTest::newRow("running screen: no tool") << false << "cache dir" << false;
    QTest::newRow("boot loader, hand-over in the plain cache") << true << "cache" << false;
    QTest::newRow("boot loader, spaces everywhere") << true << "cache dir" << true;
}

void TestUpgradeBoot::spaceWarningOnlyWhereAToolGetsASpacedPath()
{
    QFETCH(bool, bootLoader);
    QFETCH(QString, cache);
    QFETCH(bool, warned);
    const QString spaced = m_dir.filePath(QStringLiteral("tavrik tools/bin"));
    QVERIFY(QDir().mkpath(spaced));
    const QByteArray oldCache = qgetenv("XDG_CACHE_HOME");
    qputenv("XDG_CACHE_HOME", m_dir.filePath(cache).toUtf8());
    if (bootLoader) {
        QVERIFY(telvInBootLoader(42));
    } else {
        m_f->attach("6.8in-telv", 42);
        QVERIFY(m_f->scanUntil([&] { return m_f->screen() && m_f->status().startsWith("TELV "); }));
    }
    m_f->window->setProgramDir(spaced);
    m_boxes->answers[QStringLiteral("NOTIFY")] = QMessageBox::Cancel;
    m_boxes->chosenFile.clear();
    m_f->child<QPushButton>("pbUpgrade")->click();
    qputenv("XDG_CACHE_HOME", oldCache);
    const QStringList titles = m_boxes->titles();
    QCOMPARE(titles.contains(QStringLiteral("Warning")), warned);
    if (warned)
        QCOMPARE(m_boxes->messages().first().text,
                 QStringLiteral("Please move panelctl to a path that does not contain any spaces or special "
                                "characters, or the upgrade might fail."));
    QVERIFY(!m_f->session().upgradeRunning());
}

QTEST_MAIN(TestUpgradeBoot)
#include "tst_upgradeboot.moc"
