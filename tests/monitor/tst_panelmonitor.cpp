// panelctl's monitor button against a simulated screen, with the stand-in
// frame driver that publishes a known picture. Runs under umockdev-wrapper.
#include "boxrecorder.h"
#include "bridge.h"
#include "chooser.h"
#include "frameshare.h"
#include "monitortestsupport.h"
#include "panelfixture.h"
#include "shownscreen.h"
#include "touchchannel.h"

#include <QDir>
#include <QPushButton>
#include <QSignalSpy>
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

// The glass shows `frame`, the unturned frame of what was captured.
bool glassShows(const sim::ScreenModel &m, const Bytes &frame)
{
    int w = 0;
    int h = 0;
    return monitortest::showsOnGlass(m.shownPicture(&w, &h), frame);
}

// The glass shows the stand-in driver's picture upright, at its size.
bool showsDriverPicture(const sim::ScreenModel &m)
{
    int w = 0;
    int h = 0;
    const std::vector<uint16_t> glass = m.shownPicture(&w, &h);
    return monitortest::showsOnGlass(glass, mirroredFrame(w, h));
}

// The screen shows the stand-in driver's picture: monitor mode is past its
// start. The start logo and its flip also send two frames.
bool mirroring(const sim::ScreenModel &m)
{
    return m.frameSerial() >= 2 && showsDriverPicture(m);
}

bool allZero(const Bytes &b)
{
    return !b.empty() && std::all_of(b.begin(), b.end(), [](uint8_t v) { return v == 0; });
}

// The real driver, in the program's folder, on a virtual X server whose
// 1280x1024 desktop can grow to `room`; `mode` and `config` (monitor.conf)
// as given. The environment is as it was once this goes.
class RealDriverDesktop {
public:
    RealDriverDesktop(QSize room, const char *mode, const QString &config = {})
        : m_oldDisplay(qgetenv("DISPLAY")), m_oldConfig(qgetenv("XDG_CONFIG_HOME"))
    {
        m_error = m_x.startExtendable(QSize(1280, 1024), room);
        if (!m_error.isEmpty())
            return;
        QFile conf(m_appDir.filePath(QStringLiteral("config/tavrik/monitor.conf")));
        if (!QFile::copy(QStringLiteral(TELVDRV_PATH), m_appDir.filePath(QStringLiteral("telvdrv")))
            || !QDir(m_appDir.path()).mkpath(QStringLiteral("config/tavrik")) || !conf.open(QIODevice::WriteOnly)
            || conf.write(config.toUtf8() + '\n') <= 0) {
            m_error = QStringLiteral("cannot set up the driver's folder");
            return;
        }
        qputenv("DISPLAY", m_x.display().toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", m_appDir.filePath(QStringLiteral("config")).toLocal8Bit());
        qputenv("TAVRIK_MONITOR_MODE", mode);
    }
    ~RealDriverDesktop()
    {
        qputenv("DISPLAY", m_oldDisplay);
        qputenv("XDG_CONFIG_HOME", m_oldConfig);
        qputenv("TAVRIK_MONITOR_MODE", "mirror");
    }
    RealDriverDesktop(const RealDriverDesktop &) = delete;
    RealDriverDesktop &operator=(const RealDriverDesktop &) = delete;

    QString error() const { return m_error; }
    QString display() const { return m_x.display(); }
    QString programDir() const { return m_appDir.path(); }

private:
    const QByteArray m_oldDisplay;
    const QByteArray m_oldConfig;
    monitortest::Xvfb m_x;
    QTemporaryDir m_appDir;
    QString m_error;
};

} // namespace

class TestPanelMonitor : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void checkingAsksFirstThenMirrorsTheOpenScreen();
    void realDriverBringsTheDesktopToTheScreen();
    void extendedDesktopReachesTheGlassAndIsGivenBack();
    void desktopIsUprightOnEveryPanelKind_data();
    void desktopIsUprightOnEveryPanelKind();
    void touchesActOnTheDesktopWhereTheScreenShowsThem_data();
    void touchesActOnTheDesktopWhereTheScreenShowsThem();
    void uncheckingEndsTheDriverAtOnceAndBlanks();
    void withoutAScreenNothingIsStarted();
    void pickingAnotherScreenEndsMonitorMode();
    void monitorButtonLeavesAnotherProgramsScreenShowing();
    void closingTheWindowWhileMirroringBlanksAndEndsTheDriver();
    void screenFaultsWhileMirroring_data();
    void screenFaultsWhileMirroring();

private:
    QPushButton *monitorButton() const
    {
        return m_f->window->findChild<QPushButton *>(QStringLiteral("pbMonitor"));
    }
    void newWindow();
    // What names the open screen's frame share and touch channel.
    QString openedKey() const { return session::screenKey(m_f->session().opened().port); }

    std::unique_ptr<PanelFixture> m_f;
    QTemporaryDir m_appDir;
    BoxRecorder m_boxes;
};

void TestPanelMonitor::initTestCase()
{
    QVERIFY2(qEnvironmentVariableIsSet("LD_PRELOAD"), "run under umockdev-wrapper");
    // The real driver copies the desktop here: the tests' desktops have no
    // room to grow.
    qputenv("TAVRIK_MONITOR_MODE", "mirror");
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
    auto share = monitor::openFrameShare(monitor::FrameShareNames::forScreen(openedKey()));
    QVERIFY(share);
    QTRY_COMPARE(share->width(), 800);
    QCOMPARE(share->height(), 480);
    QCOMPARE(share->rate(), 36);
    QTRY_VERIFY_WITH_TIMEOUT(model->frameSerial() >= before + 3, 5000);
    QVERIFY(showsDriverPicture(*model));

    // The box comes every time the button is checked.
    monitorButton()->click();
    QTRY_VERIFY(!m_f->session().monitorRunning());
    monitorButton()->click();
    QCOMPARE(m_boxes.shown(), (QStringList{kNotify, kNotify}));
    const uint64_t again = model->frameSerial();
    QTRY_VERIFY_WITH_TIMEOUT(model->frameSerial() >= again + 2, 5000);
    QVERIFY(showsDriverPicture(*model));
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
    QTRY_VERIFY_WITH_TIMEOUT(glassShows(*model, expected), 10000);
    QCOMPARE(monitortest::childrenNamed(QStringLiteral("telvdrv")).size(), 1);
    monitorButton()->click();
    QTRY_VERIFY(!m_f->session().monitorRunning());
    qputenv("DISPLAY", oldDisplay);
}

void TestPanelMonitor::extendedDesktopReachesTheGlassAndIsGivenBack()
{
    const RealDriverDesktop x(QSize(2080, 1024), "extend");
    if (!x.error().isEmpty())
        QSKIP(qPrintable(x.error()));
    m_f->newWindow();
    m_f->window->setProgramDir(x.programDir());
    const auto model = m_f->open("6.8in-telv", 3);
    QVERIFY(model);
    monitorButton()->click();
    QTRY_COMPARE_WITH_TIMEOUT(monitortest::monitors(x.display()).size(), 2, 5000);
    QCOMPARE(monitortest::monitors(x.display()).at(1).second, QRect(1280, 0, 800, 480));

    // A window dragged onto the new monitor shows on the glass, upright, at
    // its place on that monitor.
    monitortest::TestWindow window(x.display(), QRect(1380, 50, 300, 200), 0xFF0000);
    QVERIFY(window.usable());
    const auto redOnGlass = [&model](QRect *where) {
        int w = 0;
        int h = 0;
        const std::vector<uint16_t> glass = model->shownPicture(&w, &h);
        QRect seen;
        for (int y = 0; !glass.empty() && y < h; ++y)
            for (int xx = 0; xx < w; ++xx) {
                const uint16_t p = glass[size_t(y) * size_t(w) + size_t(xx)];
                // Pure red, with the one step of green the dither may add.
                if (p >> 11 == 31 && (p & 0x1F) == 0 && (p >> 5 & 0x3F) <= 1)
                    seen |= QRect(xx, y, 1, 1);
            }
        *where = seen;
        return !glass.empty();
    };
    QRect red;
    QTRY_VERIFY_WITH_TIMEOUT(redOnGlass(&red) && red == QRect(100, 50, 300, 200), 10000);
    // A still desktop sends nothing more over USB (once the window's own
    // last pictures are through).
    QTest::qWait(500);
    const uint64_t frames = model->frameSerial();
    QTest::qWait(2500);
    QCOMPARE(model->frameSerial(), frames);

    monitorButton()->click();
    QTRY_VERIFY(!m_f->session().monitorRunning());
    // The desktop as it was, and the window back within reach.
    QTRY_COMPARE_WITH_TIMEOUT(monitortest::monitors(x.display()).size(), 1, 5000);
    QCOMPARE(monitortest::desktopSize(x.display()), QSize(1280, 1024));
    QVERIFY(QRect(0, 0, 1280, 1024).contains(window.geometry()));
}

void TestPanelMonitor::desktopIsUprightOnEveryPanelKind_data()
{
    QTest::addColumn<QString>("preset");
    QTest::newRow("mirrored top to bottom") << QStringLiteral("6.8in-telv");
    QTest::newRow("half turn") << QStringLiteral("7in-telv");
    QTest::newRow("quarter turn") << QStringLiteral("4in-telv");
    QTest::newRow("quarter turn back") << QStringLiteral("7.8in-long-telv");
}

void TestPanelMonitor::desktopIsUprightOnEveryPanelKind()
{
    QFETCH(QString, preset);
    newWindow();
    const auto model = m_f->open(qPrintable(preset), 1);
    QVERIFY(model);
    monitorButton()->click();
    // The share asks for the landscape picture, and the glass shows it
    // the right way up however the panel scans.
    auto share = monitor::openFrameShare(monitor::FrameShareNames::forScreen(openedKey()));
    QVERIFY(share);
    const sim::Preset &p = model->preset();
    QTRY_COMPARE(share->width(), p.pictureWidth());
    QCOMPARE(share->height(), p.pictureHeight());
    QTRY_VERIFY_WITH_TIMEOUT(mirroring(*model), 5000);
    monitorButton()->click();
    QTRY_VERIFY(!m_f->session().monitorRunning());
}

void TestPanelMonitor::touchesActOnTheDesktopWhereTheScreenShowsThem_data()
{
    QTest::addColumn<QString>("preset");
    QTest::addColumn<bool>("mirror");
    QTest::addColumn<QString>("config"); // monitor.conf
    // A panel of each way the touch controller is mounted.
    QTest::newRow("portrait") << QStringLiteral("4in-telv") << false << QString();
    QTest::newRow("turned") << QStringLiteral("3.4in-round-telv") << false << QString();
    QTest::newRow("upside down") << QStringLiteral("7in-telv") << false << QString();
    QTest::newRow("mirrored") << QStringLiteral("6.8in-telv") << false << QString();
    QTest::newRow("straight") << QStringLiteral("10in-telv") << false << QString();
    QTest::newRow("long") << QStringLiteral("7.8in-long-telv") << false << QString();
    QTest::newRow("mirror mode, through the letterbox, pointer back")
        << QStringLiteral("6.8in-telv") << true << QStringLiteral("touch_pointer=back");
    QTest::newRow("touches off") << QStringLiteral("6.8in-telv") << false << QStringLiteral("touch=off");
}

void TestPanelMonitor::touchesActOnTheDesktopWhereTheScreenShowsThem()
{
    QFETCH(QString, preset);
    QFETCH(bool, mirror);
    QFETCH(QString, config);
    const RealDriverDesktop x(QSize(2560, 1024), mirror ? "mirror" : "extend", config);
    if (!x.error().isEmpty())
        QSKIP(qPrintable(x.error()));
    m_f->newWindow();
    m_f->window->setProgramDir(x.programDir());
    const auto model = m_f->open(qPrintable(preset), 3);
    QVERIFY(model);
    monitorButton()->click();
    const int w = model->preset().pictureWidth();
    const int h = model->preset().pictureHeight();
    if (!mirror)
        QTRY_COMPARE_WITH_TIMEOUT(monitortest::monitors(x.display()).size(), 2, 5000);
    monitortest::TestWindow target(x.display(), mirror ? QRect(0, 0, 1280, 1024) : QRect(1280, 0, w, h), 0x00FF00);
    QVERIFY(target.usable());
    target.listenForButtons();
    target.putPointer(QPoint(7, 9));
    if (config == QLatin1String("touch=off")) {
        // The driver listens before its first picture, which shows the
        // green window: none listens now.
        const auto greenOnGlass = [&model] {
            int gw = 0;
            int gh = 0;
            const std::vector<uint16_t> glass = model->shownPicture(&gw, &gh);
            return std::find(glass.begin(), glass.end(), uint16_t(0x07E0)) != glass.end();
        };
        QTRY_VERIFY_WITH_TIMEOUT(greenOnGlass(), 20000);
        QVERIFY(!monitor::TouchSender(monitor::touchChannelName(openedKey())).send(1, 1, false));
        return;
    }
    // Listened to: a lift with nothing pressed reaches the driver and does nothing.
    QTRY_VERIFY_WITH_TIMEOUT(monitor::TouchSender(monitor::touchChannelName(openedKey())).send(0, 0, true), 10000);

    const QPoint at(w * 3 / 4, h / 3);
    QPoint expected = QPoint(1280, 0) + at;
    if (mirror) {
        // 1280x1024 fits 800x480 as 600x480 with 100-pixel bars: a touch
        // in a bar is dropped, one on the picture lands on the pixel whose
        // centre it shows.
        const auto [barX, barY] = model->rawTouchForPicturePoint(50, 200);
        model->injectTouch(barX, barY, 0);
        model->injectTouch(barX, barY, 1);
        expected = QPoint(int((at.x() - 100 + 0.5) * 1280 / 600), int((at.y() + 0.5) * 1024 / 480));
    }
    const auto [rawX, rawY] = model->rawTouchForPicturePoint(at.x(), at.y());
    model->injectTouch(rawX, rawY, 0);
    model->injectTouch(rawX, rawY, 1);
    std::vector<monitortest::TestWindow::Button> seen;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            while (const auto b = target.nextButton())
                seen.push_back(*b);
            return seen.size() >= 2;
        }(),
        10000);
    const auto near = [&expected](QPoint p) { return (p - expected).manhattanLength() <= 2; };
    QVERIFY2(seen[0].press && near(seen[0].root), qPrintable(QStringLiteral("press at %1,%2, expected %3,%4")
                                                                 .arg(seen[0].root.x())
                                                                 .arg(seen[0].root.y())
                                                                 .arg(expected.x())
                                                                 .arg(expected.y())));
    QVERIFY(!seen[1].press && near(seen[1].root));
    // Where the pointer could not go it never went; asked for, it is back.
    if (!mirror || !config.isEmpty())
        QCOMPARE(target.pointer(), QPoint(7, 9));

    monitorButton()->click();
    QTRY_VERIFY(!m_f->session().monitorRunning());
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
    QVERIFY(!showsDriverPicture(*m_f->bus->model(second)));
}

void TestPanelMonitor::monitorButtonLeavesAnotherProgramsScreenShowing()
{
    newWindow();
    const int slot = m_f->attach("4in-telv", 1);
    const auto elsewhere = m_f->bus->model(slot);
    // What spanmon does with a screen of its own, beside panelctl's.
    session::ScreenChooser spanmon;
    QSignalSpy started(&spanmon, &session::ScreenChooser::chosen);
    const QString id = screenlink::formatDeviceId(elsewhere->deviceId().data());
    spanmon.start(id, m_appDir.filePath(QStringLiteral("telvdrv")));
    QTRY_VERIFY_WITH_TIMEOUT(!started.isEmpty(), 10000);
    QCOMPARE(started.first().at(1).value<session::ChooseOutcome>(), session::ChooseOutcome::Started);
    QTRY_VERIFY_WITH_TIMEOUT(mirroring(*elsewhere), 5000);
    const QList<qint64> spanmonsDriver = monitortest::childrenNamed(QStringLiteral("telvdrv"));
    QCOMPARE(spanmonsDriver.size(), 1);

    const auto own = m_f->open("6.8in-telv", 1);
    QVERIFY(own);
    monitorButton()->click();
    QTRY_VERIFY_WITH_TIMEOUT(mirroring(*own), 5000);
    QCOMPARE(monitortest::childrenNamed(QStringLiteral("telvdrv")).size(), 2);
    monitorButton()->click();
    QTRY_VERIFY(!m_f->session().monitorRunning());
    QVERIFY(allZero(own->lastRawBulk()));
    // Only its own driver went; the other screen goes on showing the desktop.
    QTRY_COMPARE(monitortest::childrenNamed(QStringLiteral("telvdrv")), spanmonsDriver);
    const uint64_t before = elsewhere->frameSerial();
    QTRY_VERIFY_WITH_TIMEOUT(elsewhere->frameSerial() >= before + 2, 5000);
    QVERIFY(showsDriverPicture(*elsewhere));
    spanmon.stopAll();
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
    QVERIFY(showsDriverPicture(*model));
    monitorButton()->click();
}

QTEST_MAIN(TestPanelMonitor)
#include "tst_panelmonitor.moc"
