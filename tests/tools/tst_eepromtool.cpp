// eeprom as panelctl runs it: a separate process against a K2T/K5TX screen
// in its boot loader on the simulated bus, output channels merged.
#include "toolrun.h"

#include "model/firmware.h"
#include "usb/virtualbus.h"

#include <QTemporaryDir>
#include <QTest>

#include <functional>

using namespace sim;
using Bytes = std::vector<uint8_t>;

namespace {

const QString kTool = QStringLiteral(EEPROM_PATH);

Bytes newImage()
{
    const uint8_t id[8] = {0x7D, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
    return makeK2tEeprom(5, -1, id);
}

} // namespace

class TestEepromTool : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void writtenImageRunsAfterPowerCycleOnly();
    void refusesFilesThatAreNoBootableImage();
    void failsOnAnyBadRequestOrReadBack();
    void unknownCommandLinesGetUsageAndError();

private:
    std::unique_ptr<VirtualBus> m_bus;
    std::shared_ptr<ScreenModel> m_screen;
    int m_slot = -1;
    QTemporaryDir m_dir;
    QString m_image;
};

void TestEepromTool::init()
{
    QVERIFY(m_dir.isValid());
    m_image = m_dir.filePath(QStringLiteral("K2T.bin"));
    QVERIFY(writeFile(m_image, newImage()));
    m_bus = std::make_unique<VirtualBus>();
    // A running screen of the same family comes first: the tool must pass it by.
    m_bus->attach(std::make_shared<ScreenModel>(*findPreset("6.8in-k2t"), 1), 1, 1);
    // A screen whose EEPROM the boot ROM refuses sits in its boot loader.
    m_screen = std::make_shared<ScreenModel>(*findPreset("5in-k2t-m50a"), 2);
    m_screen->setConfig(0, {0x00});
    m_screen->powerUp();
    QCOMPARE(m_screen->mode(), Mode::K2tBootLoader);
    m_slot = m_bus->attach(m_screen, 1, 6);
}

void TestEepromTool::cleanup()
{
    m_screen.reset();
    m_bus.reset();
}

void TestEepromTool::writtenImageRunsAfterPowerCycleOnly()
{
    const ToolRun r = runTool(kTool, {QStringLiteral("w"), m_image}, true);
    QVERIFY2(r.exitCode == 0, qPrintable(describe(r)));
    // panelctl decides by these words alone.
    QVERIFY2(!r.saysError(), qPrintable(describe(r)));
    QVERIFY2(r.out.contains(QStringLiteral("done")), qPrintable(describe(r)));
    QCOMPARE(m_screen->config(), newImage());

    // Pulling the cable of the self-powered screen changes nothing; a power
    // cycle loads the new image.
    m_bus->unplug(m_slot);
    m_bus->plug(m_slot);
    QCOMPARE(m_screen->mode(), Mode::K2tBootLoader);
    const int before = m_bus->deviceAddress(m_slot);
    m_bus->replug(m_slot);
    QCOMPARE(m_screen->mode(), Mode::Running);
    QCOMPARE(m_screen->usbId(), kRunningId);
    QVERIFY(m_bus->plugged(m_slot));
    QVERIFY(m_bus->deviceAddress(m_slot) != before);
    QCOMPARE(m_screen->deviceId()[0], uint8_t(0x7D));
}

void TestEepromTool::refusesFilesThatAreNoBootableImage()
{
    const Bytes good = newImage();
    Bytes wrongFirst = good;
    wrongFirst[0] = 0xC0;
    Bytes longer = good;
    longer.push_back(0xFF);
    const std::pair<const char *, Bytes> files[] = {
        {"short.bin", Bytes(good.begin(), good.end() - 1)},
        {"long.bin", longer},
        {"empty.bin", {}},
        {"c0.bin", wrongFirst},
    };
    QStringList paths;
    for (const auto &[name, bytes] : files) {
        paths << m_dir.filePath(QLatin1String(name));
        QVERIFY(writeFile(paths.last(), bytes));
    }
    paths << m_dir.filePath(QStringLiteral("missing.bin")) << m_dir.path();

    const Bytes before = m_screen->config();
    m_screen->clearRequests();
    std::vector<FailingRun> runs;
    for (const QString &path : paths)
        runs.push_back({QStringLiteral("refused"), {QStringLiteral("w"), path}, {}, {}});
    const QString wrong = runFailing(kTool, runs, true, [&](const ToolRun &) {
        return m_screen->requests().empty() ? QString() : QStringLiteral("the screen was reached");
    });
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
    QCOMPARE(m_screen->config(), before);
}

void TestEepromTool::failsOnAnyBadRequestOrReadBack()
{
    auto stall = [this](uint8_t request, uint16_t address) {
        m_screen->setRequestFilter([=](const Setup &s, const uint8_t *, size_t) {
            return s.request == request && s.value == address ? ScreenModel::FilterAction::Stall
                                                              : ScreenModel::FilterAction::Pass;
        });
    };
    const QStringList write{QStringLiteral("w"), m_image};
    // Each names where it went wrong.
    const QString wrong = runFailing(
        kTool,
        {
            {QStringLiteral("a cell fails to take its value"), write,
             [&] { m_screen->corruptNextProgramAt(0x1ABC, 0x20); }, QStringLiteral("0x1abc")},
            {QStringLiteral("a write stalls"), write, [&] { stall(0x60, 0x1000); }, QStringLiteral("0x1000")},
            {QStringLiteral("a read-back stalls"), write, [&] { stall(0x61, 0x0040); }, QStringLiteral("0x0040")},
            {QStringLiteral("read-back replies come short"), write,
             [&] {
                 Faults f;
                 f.shortReply = 10;
                 m_screen->setFaults(f);
             },
             QStringLiteral("0x0000")},
            {QStringLiteral("the loader stops answering"), write,
             [&] {
                 Faults f;
                 f.silent = true;
                 m_screen->setFaults(f);
             },
             QStringLiteral("0x0000")},
            {QStringLiteral("no screen in its boot loader"), write, [&] { m_bus->unplug(m_slot); },
             QStringLiteral("04b4:8613")},
        },
        // panelctl waits 20 seconds at most.
        true, [](const ToolRun &r) { return r.ms < 20000 ? QString() : QStringLiteral("too slow"); },
        [&] {
            m_screen->setRequestFilter({});
            m_screen->setFaults({});
        });
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
}

void TestEepromTool::unknownCommandLinesGetUsageAndError()
{
    const QStringList cases[] = {
        {},
        {QStringLiteral("w")},
        {QStringLiteral("r"), m_image},
        {QStringLiteral("W"), m_image},
        {QStringLiteral("w"), m_image, m_image},
    };
    m_screen->clearRequests();
    std::vector<FailingRun> runs;
    for (const QStringList &args : cases)
        runs.push_back({QStringLiteral("not a command"), args, {}, QStringLiteral("usage")});
    const QString wrong = runFailing(kTool, runs);
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
    QVERIFY(m_screen->requests().empty());
}

QTEST_GUILESS_MAIN(TestEepromTool)
#include "tst_eepromtool.moc"
