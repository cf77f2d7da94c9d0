// panelctl's monitor button against a simulated screen, with the stand-in
// frame driver that publishes a known picture. Runs under umockdev-wrapper.
#include "boxrecorder.h"
#include "frameshare.h"
#include "monitortestsupport.h"
#include "panelfixture.h"

#include <QPushButton>
#include <QTemporaryDir>

using monitortest::Bytes;

namespace {

const QString kNotify = QStringLiteral(
    "Notify|In panelctl, monitor mode only applies to the first screen. If you specify a screen ID, please use "
    "spanmon and run it as an administrator.");

Bytes mirroredFrame(int width, int height)
{
    const int stride = width * 4 + 32;
    const Bytes picture = monitortest::pattern(width, height, stride, 5);
    return monitortest::expectedFrame(picture.data(), stride, width, height);
}

// The screen shows the stand-in driver's picture: monitor mode is past its
// start. The start logo and its flip also send two frames.
bool mirroring(const sim::ScreenModel &m)
{
    return m.frameSerial() >= 2 && m.lastFrame() == mirroredFrame(800, 480);
}

bool allZero(const Bytes &b)
{
    return !b.empty() && std::all_of(b.begin(), b.end(), [](uint8_t v) { return v == 0; });
}

} // namespace

class TestPanelMonitor : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void checkingAsksFirstThenMirrorsTheOpenScreen();
    void realDriverBringsTheDesktopToTheScreen();
    void uncheckingEndsTheDriverAtOnceAndBlanks();
    void withoutAScreenNothingIsStarted();
    void pickingAnotherScreenEndsMonitorMode();
    void closingTheWindowWhileMirroringBlanksAndEndsTheDriver();
    void screenFaultsWhileMirroring_data();
    void screenFaultsWhileMirroring();

private:
    QPushButton *monitorButton() const
    {
        return m_f->window->findChild<QPushButton *>(QStringLiteral("pbMonitor"));
    }
    void newWindow();

    std::unique_ptr<PanelFixture> m_f;
    QTemporaryDir m_appDir;
    BoxRecorder m_boxes;
};

void TestPanelMonitor::initTestCase()
{
    QVERIFY2(qEnvironmentVariableIsSet("LD_PRELOAD"), "run under umockdev-wrapper");
    QVERIFY(m_appDir.isValid());
    // The window starts the driver found in its program folder.
    QVERIFY(QFile::copy(QStringLiteral(FAKEDRIVER_PATH), m_appDir.filePath(QStringLiteral("telvdrv"))));
    m_f = std::make_unique<PanelFixture>();
}

void TestPanelMonitor::init()
{
    m_boxes.clear();
}

void TestPanelMonitor::cleanup()
{
    m_f->clear();
    QTRY_VERIFY(monitortest::childrenNamed(QStringLiteral("telvdrv")).isEmpty());
}

void TestPanelMonitor::newWindow()
{
    m_f->newWindow();
    m_f->window->setProgramDir(m_appDir.path());
}

void TestPanelMonitor::checkingAsksFirstThenMirrorsTheOpenScreen()
{
    newWindow();
    const auto model = m_f->open("6.8in-telv", 1);
    QVERIFY(model);
    QTest::qWait(300); // the first logo frame of a newly opened screen
    const uint64_t before = model->frameSerial();

    monitorButton()->click();
    QCOMPARE(m_boxes.shown(), QStringList{kNotify});
    QVERIFY(monitorButton()->isChecked());
    QVERIFY(m_f->session().monitorRunning());
    // The picture size of the identified screen, at rate 13824000/800/480.
    auto share = monitor::openFrameShare();
    QVERIFY(share);
    QTRY_COMPARE(share->width(), 800);
    QCOMPARE(share->height(), 480);
    QCOMPARE(share->rate(), 36);
    QTRY_VERIFY_WITH_TIMEOUT(model->frameSerial() >= before + 3, 5000);
    QVERIFY(model->lastFrame() == mirroredFrame(800, 480));

    // The box comes every time the button is checked.
    monitorButton()->click();
    QTRY_VERIFY(!m_f->session().monitorRunning());
    monitorButton()->click();
    QCOMPARE(m_boxes.shown(), (QStringList{kNotify, kNotify}));
    const uint64_t again = model->frameSerial();
    QTRY_VERIFY_WITH_TIMEOUT(model->frameSerial() >= again + 2, 5000);
    QVERIFY(model->lastFrame() == mirroredFrame(800, 480));
    monitorButton()->click();
}

void TestPanelMonitor::realDriverBringsTheDesktopToTheScreen()
{
    monitortest::Xvfb x;
    const QString error = x.start(QSize(800, 480));
    if (!error.isEmpty())
        QSKIP(qPrintable(error));
    const Bytes desktop = monitortest::showOnDesktop(x.display(), monitortest::pattern(800, 480, 3200, 6),
                                                     QSize(800, 480));
    QVERIFY(!desktop.empty());
    QTemporaryDir appDir;
    QVERIFY(QFile::copy(QStringLiteral(TELVDRV_PATH), appDir.filePath(QStringLiteral("telvdrv"))));
    // The driver the window starts captures this desktop.
    const QByteArray oldDisplay = qgetenv("DISPLAY");
    qputenv("DISPLAY", x.display().toLocal8Bit());

    m_f->newWindow();
    m_f->window->setProgramDir(appDir.path());
    const auto model = m_f->open("6.8in-telv", 3);
    QVERIFY(model);
    monitorButton()->click();
    QCOMPARE(m_boxes.shown(), QStringList{kNotify});
    const Bytes expected = monitortest::expectedFrame(desktop.data(), 3200, 800, 480);
    QTRY_VERIFY_WITH_TIMEOUT(model->lastFrame() == expected, 10000);
    QCOMPARE(monitortest::childrenNamed(QStringLiteral("telvdrv")).size(), 1);
    monitorButton()->click();
    QTRY_VERIFY(!m_f->session().monitorRunning());
    qputenv("DISPLAY", oldDisplay);
}

void TestPanelMonitor::uncheckingEndsTheDriverAtOnceAndBlanks()
{
    newWindow();
    const auto model = m_f->open("4in-telv", 1);
    QVERIFY(model);
    monitorButton()->click();
    QTRY_VERIFY_WITH_TIMEOUT(mirroring(*model), 5000);
    const QList<qint64> drivers = monitortest::childrenNamed(QStringLiteral("telvdrv"));
    QCOMPARE(drivers.size(), 1);

    monitorButton()->click();
    QVERIFY(!monitorButton()->isChecked());
    // Unchecking does not wait for the thread, but the driver goes now.
    QVERIFY(monitortest::waitGone(drivers.first(), 2000));
    QTRY_VERIFY(!m_f->session().monitorRunning());
    // A quarter-turned 4-inch panel mirrors at its landscape picture size;
    // the last frame is zeros without a header of its own.
    QCOMPARE(model->lastFrame().size(), size_t(800 * 480 * 2));
    const auto log = model->requests();
    QVERIFY(log.size() >= 3);
    QCOMPARE(log[log.size() - 3].payload, (Bytes{0x00, 0x2C, 0x00, 0xB8, 0x0B, 0x00}));
    QCOMPARE(log.back().kind, sim::RequestRecord::Kind::BulkOut);
    QCOMPARE(log.back().bulkLength, uint32_t(800 * 480 * 2));
    QVERIFY(allZero(model->lastRawBulk()));
}

void TestPanelMonitor::withoutAScreenNothingIsStarted()
{
    monitortest::DebugLog debug;
    newWindow();
    monitorButton()->click();
    QCOMPARE(m_boxes.shown(), QStringList{kNotify});
    QTRY_VERIFY(debug.contains(QStringLiteral("No screen connected.")));
    QTRY_VERIFY(!m_f->session().monitorRunning());
    QVERIFY(monitortest::childrenNamed(QStringLiteral("telvdrv")).isEmpty());
    // As with a failed transfer, the button stays until the user unchecks it.
    QVERIFY(monitorButton()->isChecked());
    monitorButton()->click();
}

void TestPanelMonitor::pickingAnotherScreenEndsMonitorMode()
{
    newWindow();
    const auto first = m_f->open("6.8in-telv", 1);
    QVERIFY(first);
    const int second = m_f->attach("6.8in-telv", 1);
    QVERIFY(m_f->scanUntil([&] { return m_f->list()->count() == 2; }));
    monitorButton()->click();
    QTRY_VERIFY_WITH_TIMEOUT(mirroring(*first), 5000);

    const int other = m_f->list()->currentIndex() == 0 ? 1 : 0;
    m_f->list()->setCurrentIndex(other);
    // The thread ended with the screen it mirrored, which it blanked.
    QVERIFY(!m_f->session().monitorRunning());
    QVERIFY(!monitorButton()->isChecked());
    QVERIFY(allZero(first->lastRawBulk()));
    QTRY_VERIFY(m_f->screen());
    QTRY_VERIFY(monitortest::childrenNamed(QStringLiteral("telvdrv")).isEmpty());
    // The newly chosen screen gets its logo, never the desktop.
    QTest::qWait(500);
    QVERIFY(m_f->bus->model(second)->lastFrame() != mirroredFrame(800, 480));
}

void TestPanelMonitor::closingTheWindowWhileMirroringBlanksAndEndsTheDriver()
{
    newWindow();
    const auto model = m_f->open("6.8in-telv", 1);
    QVERIFY(model);
    monitorButton()->click();
    QTRY_VERIFY_WITH_TIMEOUT(mirroring(*model), 5000);
    const QList<qint64> drivers = monitortest::childrenNamed(QStringLiteral("telvdrv"));
    QCOMPARE(drivers.size(), 1);
    m_f->window.reset();
    QVERIFY(monitortest::waitGone(drivers.first(), 2000));
    QVERIFY(allZero(model->lastRawBulk()));
}

void TestPanelMonitor::screenFaultsWhileMirroring_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("unplugged") << QStringLiteral("unplugged");
    QTest::newRow("silent") << QStringLiteral("silent");
    QTest::newRow("lying") << QStringLiteral("lying");
}

void TestPanelMonitor::screenFaultsWhileMirroring()
{
    QFETCH(QString, fault);
    newWindow();
    const int slot = m_f->attach("6.8in-telv", 2);
    QVERIFY(m_f->scanUntil([&] { return m_f->screen() != nullptr; }));
    const auto model = m_f->bus->model(slot);
    monitorButton()->click();
    QTRY_VERIFY_WITH_TIMEOUT(mirroring(*model), 5000);
    const QList<qint64> drivers = monitortest::childrenNamed(QStringLiteral("telvdrv"));
    QCOMPARE(drivers.size(), 1);

    sim::Faults faults;
    if (fault == QLatin1String("unplugged")) {
        m_f->bus->unplug(slot);
    } else if (fault == QLatin1String("silent")) {
        faults.silent = true;
        model->setFaults(faults);
    } else {
        faults.bulkAccept = 1000;
        faults.shortReply = 1;
        model->setFaults(faults);
    }
    if (fault == QLatin1String("lying")) {
        // Short frames do not stop it; the user does.
        QTest::qWait(300);
        QVERIFY(m_f->session().monitorRunning());
        monitorButton()->click();
    }
    // The first failed transfer ends the thread, which ends its driver.
    QTRY_VERIFY_WITH_TIMEOUT(!m_f->session().monitorRunning(), 5000);
    QVERIFY(monitortest::waitGone(drivers.first(), 3000));
    model->setFaults({});
    if (fault == QLatin1String("unplugged")) {
        // Letting go of the screen also lets go of the button.
        QVERIFY(m_f->scanUntil([&] { return !m_f->screen(); }));
        QVERIFY(!monitorButton()->isChecked());
        m_f->bus->plug(slot);
        QVERIFY(m_f->scanUntil([&] { return m_f->screen() != nullptr; }));
    } else if (monitorButton()->isChecked()) {
        monitorButton()->click(); // the thread never reports back: the user stops it
    }
    // Mirroring starts again on the same window.
    const uint64_t before = model->frameSerial();
    monitorButton()->click();
    QTRY_VERIFY_WITH_TIMEOUT(model->frameSerial() >= before + 2, 5000);
    QVERIFY(model->lastFrame() == mirroredFrame(800, 480));
    monitorButton()->click();
}

QTEST_MAIN(TestPanelMonitor)
#include "tst_panelmonitor.moc"
