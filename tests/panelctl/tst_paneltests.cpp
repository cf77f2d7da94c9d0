// The LED test, the throughput test and the screen log, through panelctl's
// window against simulated screens. Runs under umockdev-wrapper.
#include "boxrecorder.h"
#include "bridge.h"
#include "panelfixture.h"

#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>

using namespace sim;
using Bytes = std::vector<uint8_t>;

namespace {

// The LED patterns the screen received, as the index of the lit channel
// byte in each 72-byte pattern written from register 0x24.
std::vector<int> chaseSteps(const std::vector<RequestRecord> &log)
{
    std::vector<int> steps;
    Bytes pattern(72, 0);
    int filled = 0;
    for (const auto &r : log) {
        if (r.setup.request != 0xB5 || r.payload.size() < 4 || r.payload[0] != 0x74)
            continue;
        const int reg = r.payload[3];
        const int n = int(r.payload.size()) - 4;
        if (reg < 0x24 || reg + n > 0x6C)
            continue;
        std::copy(r.payload.begin() + 4, r.payload.end(), pattern.begin() + (reg - 0x24));
        filled += n;
        if (reg + n == 0x6C && filled >= 72) {
            const auto it = std::find(pattern.begin(), pattern.end(), 0xFF);
            steps.push_back(it == pattern.end() ? -1 : int(it - pattern.begin()));
            filled = 0;
        }
    }
    return steps;
}

} // namespace

class TestPanelTests : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void ledSetUpThenChaseChannelByChannel();
    void ledTransactionsStayWholeBesideIdentification();
    void testsOnAScreenThatGoesFail_data();
    void testsOnAScreenThatGoesFail();
    void ledStopAtAnyMomentLeavesExactlyOneChannelLit();
    void ledStopOnASilentScreenEndsWithinOneTimeout();
    void throughputTestSends300Frames();
    void logCopiesExactlyTheReportedBytes();
    void logLengthsOutsideTheBufferAreCapped();
    void logThatCannotBeSavedSaysSo();
    void logLengthThatCannotBeReadLeavesTheSavedFile();
    void logButtonOnlyForDebugFirmware();
    void nothingIsSentWithoutAScreen();

private:
    std::unique_ptr<PanelFixture> m_f;
    BoxRecorder m_boxes;
    QTemporaryDir m_dir;
    QString m_oldDir;
};

void TestPanelTests::initTestCase()
{
    QVERIFY2(qEnvironmentVariableIsSet("LD_PRELOAD"), "run under umockdev-wrapper");
    QVERIFY(m_dir.isValid());
    m_oldDir = QDir::currentPath();
    QDir::setCurrent(m_dir.path()); // screen.txt lands here
    m_f = std::make_unique<PanelFixture>();
}

void TestPanelTests::init()
{
    m_boxes.clear();
    QFile::remove(QStringLiteral("screen.txt"));
    m_f->newWindow();
}

void TestPanelTests::cleanup()
{
    m_f->clear();
}

void TestPanelTests::ledSetUpThenChaseChannelByChannel()
{
    const auto model = m_f->open("6.8in-telv", 30);
    QVERIFY(model);
    QTest::qWait(1200); // the logo first
    model->clearRequests();
    auto *led = m_f->child<QPushButton>("pbLEDTest");
    led->click();
    QVERIFY(led->isChecked());
    QTRY_VERIFY_WITH_TIMEOUT(chaseSteps(model->requests()).size() >= 80, 15000);

    // Set-up page and registers, then 0xFF in 0x00-0x11 of page 0.
    QCOMPARE(model->ledRegister(0x0B, 0x0A), uint8_t(0x01));
    QCOMPARE(model->ledRegister(0x0B, 0x00), uint8_t(0x01));
    QCOMPARE(model->ledRegister(0x0B, 0x01), uint8_t(0x00));
    for (int reg = 0x00; reg <= 0x11; ++reg)
        QCOMPARE(model->ledRegister(0x00, uint8_t(reg)), uint8_t(0xFF));
    for (int reg = 0x12; reg < 0x24; ++reg)
        QCOMPARE(model->ledRegister(0x00, uint8_t(reg)), uint8_t(0x00));
    const auto log = model->requests();
    std::vector<size_t> ffWrites;
    for (const auto &r : log)
        if (r.setup.request == 0xB5 && r.payload.size() > 4 && r.payload[3] <= 0x10 && r.payload[4] == 0xFF)
            ffWrites.push_back(r.payload.size());
    QCOMPARE(ffWrites, (std::vector<size_t>{20, 6}));

    // Channel 0 of LEDs 0-23, then channel 1, then 2, then over again.
    const std::vector<int> steps = chaseSteps(log);
    for (size_t i = 0; i < steps.size(); ++i) {
        const int step = int(i % 72);
        const int expected = 3 * (step % 24) + step / 24;
        QCOMPARE(steps[i], expected);
    }

    led->click();
    QVERIFY(!led->isChecked());
    QTRY_VERIFY(!m_f->session().ledTestRunning());
    int lit = 0;
    for (int reg = 0x24; reg < 0x6C; ++reg)
        lit += model->ledRegister(0x00, uint8_t(reg)) != 0;
    QCOMPARE(lit, 1);
    QCOMPARE(model->interleavedTransactions(), uint64_t(0));
}

void TestPanelTests::ledTransactionsStayWholeBesideIdentification()
{
    const auto model = m_f->open("6.8in-telv", 31);
    QVERIFY(model);
    m_f->child<QPushButton>("pbLEDTest")->click();
    QTRY_VERIFY(chaseSteps(model->requests()).size() >= 3);
    // The window reads the open screen's ID while the chase runs, and a
    // second screen is plugged in and identified.
    const auto screen = m_f->screen();
    QVERIFY(screen);
    for (int i = 0; i < 30; ++i)
        QCOMPARE(screenlink::readDeviceId(*screen), QStringLiteral("7c05-0f0a-1e2d") + QStringLiteral("%1").arg(
                                                                 0x100 + m_f->nextPort - 1, 4, 16, QLatin1Char('0')));
    const int other = m_f->attach("4in-telv", 31);
    QVERIFY(m_f->scanUntil([&] { return m_f->list()->count() == 2; }));
    QTRY_VERIFY(chaseSteps(model->requests()).size() >= 20);
    m_f->child<QPushButton>("pbLEDTest")->click();
    QTRY_VERIFY(!m_f->session().ledTestRunning());
    QCOMPARE(model->interleavedTransactions(), uint64_t(0));
    QCOMPARE(m_f->bus->model(other)->interleavedTransactions(), uint64_t(0));
    // Every step the chase took reached the screen whole.
    const std::vector<int> steps = chaseSteps(model->requests());
    for (size_t i = 0; i < steps.size(); ++i)
        QCOMPARE(steps[i], 3 * (int(i % 72) % 24) + int(i % 72) / 24);
}

void TestPanelTests::testsOnAScreenThatGoesFail_data()
{
    QTest::addColumn<bool>("led");
    QTest::newRow("LED test") << true;
    QTest::newRow("throughput test") << false;
}

void TestPanelTests::testsOnAScreenThatGoesFail()
{
    QFETCH(bool, led);
    const int slot = m_f->attach("7in-telv", 32);
    QVERIFY(m_f->scanUntil([&] { return m_f->screen() != nullptr; }));
    const auto model = m_f->bus->model(slot);
    Faults slow; // 300 frames take seconds, as through a real hub
    slow.delayMs = 20;
    model->setFaults(slow);
    if (led) {
        m_f->child<QPushButton>("pbLEDTest")->click();
        QTRY_VERIFY(m_f->session().ledTestRunning());
    } else {
        m_f->window->onTest();
        QTRY_VERIFY(m_f->session().throughputTestRunning());
    }
    m_f->bus->unplug(slot);
    // Said as soon as the test meets the screen gone, not at the next scan.
    const QString box = QStringLiteral("Error|The test did not run to its end: the screen left during the %1 test.")
                            .arg(led ? QStringLiteral("LED") : QStringLiteral("throughput"));
    QTRY_VERIFY_WITH_TIMEOUT(m_boxes.shown().contains(box), 5000);
    QVERIFY(!m_f->child<QPushButton>("pbLEDTest")->isChecked());
    QVERIFY(m_f->scanUntil([&] { return !m_f->screen(); }));
    QVERIFY(!m_f->session().ledTestRunning() && !m_f->session().throughputTestRunning());
    model->setFaults({});
    if (!led)
        return;

    // And when the window closes with a test running.
    m_f->bus->plug(slot);
    QVERIFY(m_f->scanUntil([&] { return m_f->screen() != nullptr; }));
    m_f->child<QPushButton>("pbLEDTest")->click();
    QTRY_VERIFY(m_f->session().ledTestRunning());
    QElapsedTimer t;
    t.start();
    m_f->window.reset();
    QVERIFY(t.elapsed() < 2000);
}

void TestPanelTests::ledStopAtAnyMomentLeavesExactlyOneChannelLit()
{
    // Stopped during the set-up, in the middle of a step or between steps:
    // the set-up is never cut short and the chase ends after a whole step.
    const auto model = m_f->open("6.8in-telv", 39);
    QVERIFY(model);
    QTest::qWait(1200);
    auto *led = m_f->child<QPushButton>("pbLEDTest");
    for (int delayMs : {0, 1, 3, 7, 12, 20, 33, 50, 80, 130}) {
        led->click();
        QVERIFY(led->isChecked());
        QThread::msleep(ulong(delayMs)); // the GUI thread is not needed by the test
        led->click();
        QVERIFY(!led->isChecked());
        QTRY_VERIFY(!m_f->session().ledTestRunning());
        int lit = 0;
        for (int reg = 0x24; reg < 0x6C; ++reg)
            lit += model->ledRegister(0x00, uint8_t(reg)) != 0;
        QVERIFY2(lit == 1, qPrintable(QStringLiteral("%1 channels lit after a stop at %2 ms").arg(lit).arg(delayMs)));
        for (int reg = 0x00; reg <= 0x11; ++reg)
            QCOMPARE(model->ledRegister(0x00, uint8_t(reg)), uint8_t(0xFF));
        QCOMPARE(model->ledRegister(0x0B, 0x0A), uint8_t(0x01));
    }
    QCOMPARE(model->interleavedTransactions(), uint64_t(0));
}

void TestPanelTests::ledStopOnASilentScreenEndsWithinOneTimeout()
{
    const auto model = m_f->open("6.8in-telv", 40);
    QVERIFY(model);
    QTest::qWait(1200);
    auto *led = m_f->child<QPushButton>("pbLEDTest");
    led->click();
    QTRY_VERIFY(chaseSteps(model->requests()).size() >= 2);
    Faults silent;
    silent.silent = true;
    model->setFaults(silent);
    QTest::qWait(500); // well into the timeouts
    QElapsedTimer t;
    t.start();
    led->click();
    QTRY_VERIFY_WITH_TIMEOUT(!m_f->session().ledTestRunning(), 2000);
    // One request's 200 ms, with room for a slow machine.
    QVERIFY2(t.elapsed() < 700, qPrintable(QString::number(t.elapsed())));
    model->setFaults({});
}

void TestPanelTests::throughputTestSends300Frames()
{
    const auto model = m_f->open("6.8in-telv", 33);
    QVERIFY(model);
    QVERIFY(!m_f->child("pbTest")->isVisible());
    const uint64_t before = model->frameStats().rawBulkTransfers;
    m_f->window->onTest();
    QTRY_VERIFY_WITH_TIMEOUT(!m_f->session().throughputTestRunning(), 60000);
    const FrameStats s = model->frameStats();
    QCOMPARE(s.rawBulkTransfers - before, uint64_t(300));
    QCOMPARE(s.rawBulkBytes, uint64_t(300) * 768000);
}

void TestPanelTests::logCopiesExactlyTheReportedBytes()
{
    Bytes log(100);
    for (size_t i = 0; i < log.size(); ++i)
        log[i] = uint8_t('a' + i % 26);
    const auto model = m_f->open("6.8in-telv", 34, [&](ScreenModel &m) {
        m.setIdent(debugIdent(m.preset().ident));
        m.setLog(log);
    });
    QVERIFY(model);
    QTest::qWait(1200);
    model->clearRequests();
    auto *button = m_f->child<QPushButton>("pbLog");
    QVERIFY(button->isVisible());
    button->click();
    QTRY_COMPARE(m_boxes.shown(), QStringList{QStringLiteral("Notify|Log file has saved to screen.txt")});
    QVERIFY(button->isEnabled());
    QFile file(QStringLiteral("screen.txt"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray(reinterpret_cast<const char *>(log.data()), int(log.size())));
    file.close();
    // Length, then each 64-byte chunk after its offset.
    std::vector<std::pair<uint8_t, Bytes>> wire;
    for (const auto &r : model->requests())
        wire.emplace_back(r.setup.request, r.setup.isIn() ? Bytes{} : r.payload);
    QCOMPARE(wire, (std::vector<std::pair<uint8_t, Bytes>>{{0xA7, {}},
                                                           {0xA5, {0, 0, 0, 0}},
                                                           {0xA6, {}},
                                                           {0xA5, {64, 0, 0, 0}},
                                                           {0xA6, {}}}));

    // Empty log: an empty file and the same message; pressing again overwrites.
    model->setLog({});
    m_boxes.clear();
    button->click();
    QTRY_COMPARE(m_boxes.shown(), QStringList{QStringLiteral("Notify|Log file has saved to screen.txt")});
    QCOMPARE(QFileInfo(QStringLiteral("screen.txt")).size(), 0);
}

void TestPanelTests::logLengthsOutsideTheBufferAreCapped()
{
    Bytes log(200000);
    for (size_t i = 0; i < log.size(); ++i)
        log[i] = uint8_t(i * 7);
    const auto model = m_f->open("6.8in-telv", 35, [&](ScreenModel &m) {
        m.setIdent(debugIdent(m.preset().ident));
        m.setLog(log);
        m.setReportedLogLength(1 << 20);
    });
    QVERIFY(model);
    auto *button = m_f->child<QPushButton>("pbLog");
    const QStringList savedBox{QStringLiteral("Notify|Log file has saved to screen.txt")};
    // 2048 chunks of 64 bytes, each its own pair of requests.
    constexpr int kWholeBufferMs = 60000;
    button->click();
    QTRY_COMPARE_WITH_TIMEOUT(m_boxes.shown(), savedBox, kWholeBufferMs);
    QFile file(QStringLiteral("screen.txt"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray saved = file.readAll();
    file.close();
    QCOMPARE(saved.size(), 131072);
    QCOMPARE(saved, QByteArray(reinterpret_cast<const char *>(log.data()), 131072));

    // A negative length writes an empty file.
    model->setReportedLogLength(-5);
    m_boxes.clear();
    button->click();
    QTRY_COMPARE(m_boxes.shown(), savedBox);
    QCOMPARE(QFileInfo(QStringLiteral("screen.txt")).size(), 0);
    // A length that ends inside a chunk: the file holds exactly that many.
    model->setReportedLogLength(131000);
    m_boxes.clear();
    button->click();
    QTRY_COMPARE_WITH_TIMEOUT(m_boxes.shown(), savedBox, kWholeBufferMs);
    QCOMPARE(QFileInfo(QStringLiteral("screen.txt")).size(), 131000);
}

void TestPanelTests::logThatCannotBeSavedSaysSo()
{
    const auto model = m_f->open("6.8in-telv", 36, [&](ScreenModel &m) {
        m.setIdent(debugIdent(m.preset().ident));
        m.setLog(Bytes(10, 'x'));
    });
    QVERIFY(model);
    QVERIFY(QDir().mkdir(QStringLiteral("screen.txt"))); // a folder where the file should go
    m_f->child<QPushButton>("pbLog")->click();
    QTRY_COMPARE(m_boxes.shown(), QStringList{QStringLiteral("Notify|Log file could not be saved to screen.txt")});
    QDir().rmdir(QStringLiteral("screen.txt"));
}

void TestPanelTests::logLengthThatCannotBeReadLeavesTheSavedFile()
{
    const auto model = m_f->open("6.8in-telv", 41, [&](ScreenModel &m) {
        m.setIdent(debugIdent(m.preset().ident));
        m.setLog(Bytes(300, 'n'));
    });
    QVERIFY(model);
    QFile saved(QStringLiteral("screen.txt"));
    QVERIFY(saved.open(QIODevice::WriteOnly) && saved.write("kept") == 4);
    saved.close();
    Faults lies;
    lies.shortReply = 2; // half a length
    model->setFaults(lies);
    m_f->child<QPushButton>("pbLog")->click();
    QTRY_COMPARE(m_boxes.shown(), QStringList{QStringLiteral("Error|The log could not be read from the screen.")});
    model->setFaults({});
    QVERIFY(m_f->child("pbLog")->isEnabled());
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), QByteArray("kept"));
}

void TestPanelTests::logButtonOnlyForDebugFirmware()
{
    QVERIFY(m_f->open("6.8in-telv", 37));
    QVERIFY(!m_f->child("pbLog")->isVisible());
}

void TestPanelTests::nothingIsSentWithoutAScreen()
{
    // A screen on the bus but not open (no scan has run since it came):
    // nothing may reach it. The window's first scan runs on the link thread;
    // it must be over before the screen comes, or it would find it.
    QVERIFY(m_f->listedAtLeast(1));
    const auto model = m_f->bus->model(m_f->attach("6.8in-telv", 38));
    QVERIFY(!m_f->screen());
    auto *led = m_f->child<QPushButton>("pbLEDTest");
    led->click();
    QVERIFY(!led->isChecked());
    QVERIFY(!m_f->session().ledTestRunning());
    m_f->window->onTest();
    QVERIFY(!m_f->session().throughputTestRunning());
    m_f->window->onLog();
    QCOMPARE(m_boxes.shown().size(), 3);
    for (const QString &m : m_boxes.shown())
        QCOMPARE(m, QStringLiteral("Error|No screen connected."));
    QVERIFY(!QFile::exists(QStringLiteral("screen.txt")));
    QVERIFY(model->requests().empty());
}

QTEST_MAIN(TestPanelTests)
#include "tst_paneltests.moc"
