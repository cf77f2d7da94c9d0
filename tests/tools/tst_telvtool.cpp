// telvtool as panelctl runs it: a separate process against a TELV screen in
// its boot loader on the simulated bus.
#include "toolrun.h"

#include "model/firmware.h"
#include "usb/virtualbus.h"

#include <QTemporaryDir>
#include <QTest>

#include <functional>

using namespace sim;
using Bytes = std::vector<uint8_t>;

namespace {

const QString kTool = QStringLiteral(TELVTOOL_PATH);

std::shared_ptr<ScreenModel> bootLoaderScreen(uint32_t seed)
{
    auto m = std::make_shared<ScreenModel>(*findPreset("4in-telv"), seed);
    m->setMode(Mode::TelvBootLoader);
    m->setRebootDelayMs(50);
    return m;
}

ScreenModel::RequestFilter stallRequest(uint8_t request, std::function<bool(const Setup &)> also = {})
{
    return [request, also](const Setup &s, const uint8_t *, size_t) {
        return s.request == request && (!also || also(s)) ? ScreenModel::FilterAction::Stall
                                                          : ScreenModel::FilterAction::Pass;
    };
}

Bytes newImage()
{
    // An image of an odd length, so that its last sector is only partly written.
    Bytes image = makeTelvImage(makeScreenBlockPayload(42), 42);
    for (int i = 0; i < 300; ++i)
        image.push_back(uint8_t(i));
    return image;
}

} // namespace

class TestTelvTool : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void idPrintsTheBootLoaderScreensIdentity();
    void idSaysErrorWhenNoIdentityCanBeRead();
    void spinorWriteReplacesFlashAndResetBootsIt();
    void spinorWriteFailsOnAnyBadRequestOrReadBack();
    void spinorWriteRefusesBadInputBeforeTouchingTheScreen();
    void resetWithInvalidFlashComesBackInBootLoader();
    void unknownCommandLinesGetUsageAndError();

private:
    std::unique_ptr<VirtualBus> m_bus;
    std::shared_ptr<ScreenModel> m_screen;
    int m_slot = -1;
    QTemporaryDir m_dir;
};

void TestTelvTool::init()
{
    QVERIFY(m_dir.isValid());
    m_bus = std::make_unique<VirtualBus>();
    // A running screen comes first on the bus: the tool must pass it by.
    m_bus->attach(std::make_shared<ScreenModel>(*findPreset("6.8in-telv"), 1), 1, 1);
    m_screen = bootLoaderScreen(5);
    m_slot = m_bus->attach(m_screen, 1, 4);
}

void TestTelvTool::cleanup()
{
    m_screen.reset();
    m_bus.reset();
}

void TestTelvTool::idPrintsTheBootLoaderScreensIdentity()
{
    ToolRun r = runTool(kTool, {QStringLiteral("id")});
    QVERIFY2(r.exitCode == 0, qPrintable(describe(r)));
    QCOMPARE(r.out, QString::fromStdString(makeTelvIdentity(5)) + "\n");

    m_screen->setTelvIdentity("00C0FFEE00112233445566AA");
    r = runTool(kTool, {QStringLiteral("id")});
    QVERIFY2(r.exitCode == 0, qPrintable(describe(r)));
    QCOMPARE(r.out, QStringLiteral("00C0FFEE00112233445566AA\n"));
}

void TestTelvTool::idSaysErrorWhenNoIdentityCanBeRead()
{
    const std::string identity = m_screen->telvIdentity();
    const QStringList id{QStringLiteral("id")};
    const QString wrong = runFailing(
        kTool,
        {
            {QStringLiteral("identity request stalls"), id,
             [&] { m_screen->setRequestFilter(stallRequest(0x50)); }, {}},
            {QStringLiteral("loader answers nothing"), id,
             [&] {
                 Faults f;
                 f.silent = true;
                 m_screen->setFaults(f);
             },
             {}},
            {QStringLiteral("identity cut short to nothing"), id,
             [&] {
                 Faults f;
                 f.shortReply = 0;
                 m_screen->setFaults(f);
             },
             {}},
            {QStringLiteral("identity with a line break inside"), id,
             [&] { m_screen->setTelvIdentity("0123456789AB\nCDEF"); }, {}},
            {QStringLiteral("no screen in its boot loader"), id, [&] { m_bus->unplug(m_slot); }, {}},
        },
        // panelctl reads standard output only and gives the tool 3 seconds.
        false,
        [&](const ToolRun &r) {
            if (r.ms >= 3000)
                return QStringLiteral("too slow");
            return r.out.contains(QString::fromStdString(identity)) ? QStringLiteral("prints the identity") : QString();
        },
        [&] {
            m_screen->setRequestFilter({});
            m_screen->setFaults({});
            m_screen->setTelvIdentity(identity);
        });
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
}

void TestTelvTool::spinorWriteReplacesFlashAndResetBootsIt()
{
    // The flash holds another unit's image and data further up; none of the
    // old image may survive in the written range.
    Bytes old = makeTelvImage(makeScreenBlockPayload(1), 1);
    old.resize(0x20000, 0x00);
    for (size_t i = 0x10000; i < old.size(); ++i)
        old[i] = uint8_t(i >> 4);
    m_screen->setFlash(old);
    const Bytes image = newImage();
    const QString file = m_dir.filePath(QStringLiteral("firmware.local.bin"));
    QVERIFY(writeFile(file, image));

    ToolRun r = runTool(kTool, {QStringLiteral("spinor"), QStringLiteral("write"), QStringLiteral("0"), file}, true);
    QVERIFY2(r.exitCode == 0, qPrintable(describe(r)));
    QVERIFY2(!r.saysError(), qPrintable(describe(r)));
    QVERIFY2(r.out.contains(QStringLiteral("done")), qPrintable(describe(r)));
    Bytes flash = m_screen->flash();
    QVERIFY(std::equal(image.begin(), image.end(), flash.begin()));
    const size_t sectorEnd = (image.size() + 4095) / 4096 * 4096;
    QVERIFY(std::all_of(flash.begin() + ptrdiff_t(image.size()), flash.begin() + ptrdiff_t(sectorEnd),
                        [](uint8_t b) { return b == 0xFF; }));
    QVERIFY(std::equal(flash.begin() + ptrdiff_t(sectorEnd), flash.begin() + 0x20000, old.begin() + ptrdiff_t(sectorEnd)));

    // Another sector start is accepted too and leaves the image alone.
    const Bytes small(5000, 0x3C);
    const QString smallFile = m_dir.filePath(QStringLiteral("small.bin"));
    QVERIFY(writeFile(smallFile, small));
    r = runTool(kTool, {QStringLiteral("spinor"), QStringLiteral("write"), QStringLiteral("0x18000"), smallFile}, true);
    QVERIFY2(r.exitCode == 0, qPrintable(describe(r)));
    flash = m_screen->flash();
    QVERIFY(std::equal(small.begin(), small.end(), flash.begin() + 0x18000));
    QVERIFY(std::equal(image.begin(), image.end(), flash.begin()));

    // The restart boots the new image: the screen comes back running.
    const int before = m_bus->deviceAddress(m_slot);
    r = runTool(kTool, {QStringLiteral("reset")});
    QVERIFY2(r.exitCode == 0 && !r.saysError(), qPrintable(describe(r)));
    QTRY_COMPARE(m_screen->mode(), Mode::Running);
    QTRY_VERIFY(m_bus->deviceAddress(m_slot) != 0 && m_bus->deviceAddress(m_slot) != before);
    QCOMPARE(m_screen->usbId(), kRunningId);
}

void TestTelvTool::spinorWriteFailsOnAnyBadRequestOrReadBack()
{
    const Bytes image = newImage();
    const QString file = m_dir.filePath(QStringLiteral("image.bin"));
    QVERIFY(writeFile(file, image));
    const QStringList write{QStringLiteral("spinor"), QStringLiteral("write"), QStringLiteral("0"), file};
    // Each names where it went wrong.
    const QString wrong = runFailing(
        kTool,
        {
            {QStringLiteral("a bit fails to program"), write, [&] { m_screen->corruptNextProgramAt(0x2345, 0x01); },
             QStringLiteral("0x002345")},
            {QStringLiteral("an erase stalls"), write,
             [&] {
                 m_screen->setRequestFilter(stallRequest(0x51, [](const Setup &s) { return s.value == 0x3000; }));
             },
             QStringLiteral("0x003000")},
            {QStringLiteral("a write stalls"), write,
             [&] {
                 m_screen->setRequestFilter(stallRequest(0x52, [](const Setup &s) { return s.value == 0x4000; }));
             },
             QStringLiteral("0x004000")},
            {QStringLiteral("a read-back stalls"), write, [&] { m_screen->setRequestFilter(stallRequest(0x53)); },
             QStringLiteral("0x000000")},
            {QStringLiteral("read-back replies come short"), write,
             [&] {
                 Faults f;
                 f.shortReply = 100;
                 m_screen->setFaults(f);
             },
             QStringLiteral("0x000000")},
            {QStringLiteral("the loader stops answering"), write,
             [&] {
                 Faults f;
                 f.silent = true;
                 m_screen->setFaults(f);
             },
             QStringLiteral("0x000000")},
        },
        true,
        [](const ToolRun &r) { return r.out.contains(QStringLiteral("done")) ? QStringLiteral("says done") : QString(); },
        [&] {
            m_screen->setRequestFilter({});
            m_screen->setFaults({});
        });
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
}

void TestTelvTool::spinorWriteRefusesBadInputBeforeTouchingTheScreen()
{
    const QString fits = m_dir.filePath(QStringLiteral("fits.bin"));
    QVERIFY(writeFile(fits, Bytes(8192, 0x00)));
    const QString tooBig = m_dir.filePath(QStringLiteral("big.bin"));
    QVERIFY(writeFile(tooBig, Bytes(ScreenModel::kFlashSize + 1, 0x00)));
    const QString empty = m_dir.filePath(QStringLiteral("empty.bin"));
    QVERIFY(writeFile(empty, {}));
    const QString missing = m_dir.filePath(QStringLiteral("missing.bin"));
    struct Case {
        const char *address;
        QString file;
    };
    const Case cases[] = {
        {"0", tooBig},     {"0", empty},           {"0", missing},   {"0", m_dir.path()},
        {"100", fits},     {"0x100000", fits},     {"0xFF000", fits}, {"zero", fits},
        {"-4096", fits},   {"0x1000000000", fits}, {"", fits},
    };
    const Bytes before = m_screen->flash();
    std::vector<FailingRun> runs;
    for (const Case &c : cases)
        runs.push_back({QStringLiteral("refused"),
                        {QStringLiteral("spinor"), QStringLiteral("write"), QLatin1String(c.address), c.file},
                        [&] { m_screen->clearRequests(); },
                        {}});
    const QString wrong = runFailing(kTool, runs, true, [&](const ToolRun &) {
        return m_screen->requests().empty() ? QString() : QStringLiteral("the screen was reached");
    });
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
    QVERIFY(m_screen->flash() == before);

    // A good file with no screen to take it.
    m_bus->unplug(m_slot);
    const ToolRun r = runTool(kTool, {QStringLiteral("spinor"), QStringLiteral("write"), QStringLiteral("0"), fits}, true);
    QVERIFY2(r.exitCode != 0 && r.out.contains(QStringLiteral("ERROR")), qPrintable(describe(r)));
}

void TestTelvTool::resetWithInvalidFlashComesBackInBootLoader()
{
    Bytes broken = makeTelvImage(makeScreenBlockPayload(5), 5);
    broken[0x300] ^= 0x02; // the boot checksum no longer matches
    m_screen->setFlash(broken);

    // A refused reset leaves the screen where it is.
    m_screen->setRequestFilter(stallRequest(0x54));
    const int before = m_bus->deviceAddress(m_slot);
    ToolRun r = runTool(kTool, {QStringLiteral("reset")});
    QVERIFY2(r.exitCode != 0 && r.out.contains(QStringLiteral("ERROR")), qPrintable(describe(r)));
    QTest::qWait(200);
    QCOMPARE(m_bus->deviceAddress(m_slot), before);
    m_screen->setRequestFilter({});

    r = runTool(kTool, {QStringLiteral("reset")});
    QVERIFY2(r.exitCode == 0 && !r.saysError(), qPrintable(describe(r)));
    QTRY_VERIFY(m_bus->deviceAddress(m_slot) != 0 && m_bus->deviceAddress(m_slot) != before);
    QCOMPARE(m_screen->mode(), Mode::TelvBootLoader);
    // Back on the bus under its new address, the loader answers again.
    r = runTool(kTool, {QStringLiteral("id")});
    QVERIFY2(r.exitCode == 0, qPrintable(describe(r)));
    QCOMPARE(r.out, QString::fromStdString(makeTelvIdentity(5)) + "\n");
}

void TestTelvTool::unknownCommandLinesGetUsageAndError()
{
    const QStringList cases[] = {
        {},
        {QStringLiteral("ID")},
        {QStringLiteral("id"), QStringLiteral("now")},
        {QStringLiteral("spinor"), QStringLiteral("read"), QStringLiteral("0"), QStringLiteral("x.bin")},
        {QStringLiteral("spinor"), QStringLiteral("write"), QStringLiteral("0")},
    };
    m_screen->clearRequests();
    std::vector<FailingRun> runs;
    for (const QStringList &args : cases)
        runs.push_back({QStringLiteral("not a command"), args, {}, QStringLiteral("usage")});
    const QString wrong = runFailing(kTool, runs);
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
    QVERIFY(m_screen->requests().empty());
}

QTEST_GUILESS_MAIN(TestTelvTool)
#include "tst_telvtool.moc"
