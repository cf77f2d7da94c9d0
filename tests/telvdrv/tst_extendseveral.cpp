// Several screens extending one X11 desktop at once: the real frame driver,
// one process per screen with the screen's own frame share and touch
// channel, on a private Xvfb that can grow; and simulated screens of three
// models shown through spanmon's chooser. Each screen's monitor lies
// right of the others; one going takes only its part, the others close
// the gap and follow; a driver killed at any step is put back by its next
// start without touching the others'. Runs under umockdev-wrapper.
#include "bridge.h"
#include "chooser.h"
#include "extenddesktop.h"
#include "frameshare.h"
#include "monitortestsupport.h"
#include "testhook.h"
#include "touchchannel.h"
#include "usb/virtualbus.h"

#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

using namespace monitor;

namespace {

constexpr int kPatience = 10000;
const QString kDriver = QStringLiteral(TELVDRV_PATH);
const QSize kDesktop(1280, 1024);

// One screen's driver and its share.
struct Screen {
    QString key;
    QSize size;
    std::unique_ptr<FrameShare> share;
    std::unique_ptr<QProcess> driver;

    QString monitor() const { return QStringLiteral("TAVRIK-") + key; }

    bool start(const QString &display, const QProcessEnvironment &extra = {})
    {
        share = openFrameShare(FrameShareNames::forScreen(key));
        if (!share)
            return false;
        share->writeSize(size.width(), size.height());
        share->setStride(0);
        // A picture of a driver before this one is not this one's.
        (void)waitFrame(*share, 0);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display);
        env.insert(QStringLiteral("TAVRIK_MONITOR_MODE"), QStringLiteral("extend"));
        env.insert(QLatin1String(kScreenKeyVariable), key);
        env.remove(QStringLiteral("XDG_SESSION_TYPE"));
        env.insert(extra);
        driver = std::make_unique<QProcess>();
        driver->setProcessEnvironment(env);
        driver->setProcessChannelMode(QProcess::ForwardedChannels);
        driver->start(kDriver, {});
        return driver->waitForStarted(kPatience);
    }
    bool stop()
    {
        driver->terminate();
        return driver->waitForFinished(kPatience) && driver->exitCode() == 0;
    }
    // Pixels of `rgb` in the newest picture the driver published.
    int newestPixelsOf(uint32_t rgb) const
    {
        int count = 0;
        for (int y = 0; y < size.height(); ++y) {
            const uint8_t *row = share->pixels() + size_t(y) * size_t(share->stride());
            for (int x = 0; x < size.width(); ++x) {
                const uint8_t *p = row + size_t(x) * 4;
                count += (uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0]) == rgb;
            }
        }
        return count;
    }
};

QRect monitorOf(const QString &display, const QString &name)
{
    for (const auto &[listed, area] : monitortest::monitors(display))
        if (listed == name)
            return area;
    return {};
}

// Presses and lifts a finger at (x, y) of the screen's picture; the
// button events `window` got, as root points.
QList<QPoint> touch(const Screen &s, QPoint at, monitortest::TestWindow &window)
{
    TouchSender sender(touchChannelName(s.key));
    QList<QPoint> pressed;
    // The driver listens once its touches are set up.
    if (!QTest::qWaitFor([&] { return sender.send(at.x(), at.y(), false); }, kPatience))
        return pressed;
    sender.send(at.x(), at.y(), true);
    (void)QTest::qWaitFor(
        [&] {
            while (const auto b = window.nextButton())
                if (b->press)
                    pressed << b->root;
            return !pressed.isEmpty();
        },
        kPatience);
    return pressed;
}

} // namespace

class TestExtendSeveral : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void threeModelsEachShowTheirOwnMonitorUpright();
    void eachScreenIsAMonitorOfItsOwnAndOneGoingLeavesTheOthers();
    void killedAtAnyStepOnlyItsPartIsPutBack_data();
    void killedAtAnyStepOnlyItsPartIsPutBack();
};

void TestExtendSeveral::initTestCase()
{
    QVERIFY2(qEnvironmentVariableIsSet("LD_PRELOAD"), "run under umockdev-wrapper");
}

void TestExtendSeveral::threeModelsEachShowTheirOwnMonitorUpright()
{
    monitortest::Xvfb x;
    const QString error = x.startExtendable(kDesktop, QSize(1280 + 800 + 800 + 1024, 1024));
    if (!error.isEmpty())
        QSKIP(qPrintable(error));
    const QByteArray oldDisplay = qgetenv("DISPLAY");
    qputenv("DISPLAY", x.display().toLocal8Bit());
    const auto displayBack = qScopeGuard([&oldDisplay] { qputenv("DISPLAY", oldDisplay); });

    // Mirrored top to bottom, turned a quarter, turned half: each panel
    // scans its picture another way.
    sim::VirtualBus bus;
    std::vector<std::shared_ptr<sim::ScreenModel>> models;
    for (const char *preset : {"6.8in-telv", "4in-telv", "7in-telv"}) {
        models.push_back(std::make_shared<sim::ScreenModel>(*sim::findPreset(preset), 0x70 + uint32_t(models.size())));
        bus.attach(models.back(), 1, 2 + int(models.size()));
    }
    session::ScreenChooser spanmon;
    QSignalSpy chosen(&spanmon, &session::ScreenChooser::chosen);
    for (const auto &m : models) {
        chosen.clear();
        spanmon.start(screenlink::formatDeviceId(m->deviceId().data()), kDriver, QStringLiteral("extend"));
        QTRY_VERIFY_WITH_TIMEOUT(!chosen.isEmpty(), kPatience);
        QCOMPARE(chosen.first().at(1).value<session::ChooseOutcome>(), session::ChooseOutcome::Started);
        // One after the other: each monitor right of the last.
        QTRY_COMPARE_WITH_TIMEOUT(monitortest::monitors(x.display()).size(), 1 + int(&m - &models.front()) + 1,
                                  kPatience);
    }
    const auto listed = monitortest::monitors(x.display());
    QCOMPARE(listed.size(), 4);

    // A window at (100, 50) of each monitor, in a colour of its own, lies at
    // (100, 50) of its own glass, upright, and on no other.
    const uint32_t colours[] = {0xFF0000, 0x00FF00, 0x0000FF};
    // Within one step of each channel: the conversion may dither.
    const auto matches = [](uint16_t p, uint32_t c) {
        return std::abs(int(p >> 11) - int(c >> 19 & 0x1F)) <= 1 && std::abs(int(p >> 5 & 0x3F) - int(c >> 10 & 0x3F)) <= 1
               && std::abs(int(p & 0x1F) - int(c >> 3 & 0x1F)) <= 1;
    };
    std::vector<std::unique_ptr<monitortest::TestWindow>> windows;
    for (size_t i = 0; i < models.size(); ++i) {
        const QRect on = listed[int(i) + 1].second;
        windows.push_back(std::make_unique<monitortest::TestWindow>(
            x.display(), QRect(on.x() + 100, on.y() + 50, 300, 200), colours[i]));
        QVERIFY(windows.back()->usable());
    }
    const auto where = [&](size_t glassOf, uint32_t colour) {
        int w = 0;
        int h = 0;
        const std::vector<uint16_t> glass = models[glassOf]->shownPicture(&w, &h);
        QRect seen;
        for (int y = 0; !glass.empty() && y < h; ++y)
            for (int xx = 0; xx < w; ++xx)
                if (matches(glass[size_t(y) * size_t(w) + size_t(xx)], colour))
                    seen |= QRect(xx, y, 1, 1);
        return seen;
    };
    for (size_t i = 0; i < models.size(); ++i) {
        QTRY_COMPARE_WITH_TIMEOUT(where(i, colours[i]), QRect(100, 50, 300, 200), kPatience);
        for (size_t other = 0; other < models.size(); ++other)
            if (other != i)
                QCOMPARE(where(i, colours[other]), QRect());
    }
    spanmon.stopAll();
    QCOMPARE(monitortest::desktopSize(x.display()), kDesktop);
}

void TestExtendSeveral::eachScreenIsAMonitorOfItsOwnAndOneGoingLeavesTheOthers()
{
    monitortest::Xvfb x;
    const QString error = x.startExtendable(kDesktop, QSize(1280 + 800 + 480 + 1024, 1024));
    if (!error.isEmpty())
        QSKIP(qPrintable(error));
    std::vector<Screen> screens(3);
    screens[0] = {QStringLiteral("usb-1-4"), QSize(800, 480), {}, {}};
    screens[1] = {QStringLiteral("usb-1-5"), QSize(480, 480), {}, {}};
    screens[2] = {QStringLiteral("usb-1-6"), QSize(1024, 600), {}, {}};
    // One after the other, as they are plugged in: each right of the last.
    for (Screen &s : screens) {
        QVERIFY(s.start(x.display()));
        QCOMPARE(waitFrame(*s.share, kPatience), FrameWait::Picture);
    }
    QCOMPARE(monitortest::desktopSize(x.display()), QSize(1280 + 800 + 480 + 1024, 1024));
    QCOMPARE(monitorOf(x.display(), screens[0].monitor()), QRect(1280, 0, 800, 480));
    QCOMPARE(monitorOf(x.display(), screens[1].monitor()), QRect(2080, 0, 480, 480));
    QCOMPARE(monitorOf(x.display(), screens[2].monitor()), QRect(2560, 0, 1024, 600));

    // A window on each monitor reaches its own screen and no other.
    const uint32_t colours[] = {0xFF0000, 0x00FF00, 0x0000FF};
    std::vector<std::unique_ptr<monitortest::TestWindow>> windows;
    for (size_t i = 0; i < screens.size(); ++i) {
        const QRect on = monitorOf(x.display(), screens[i].monitor());
        windows.push_back(std::make_unique<monitortest::TestWindow>(
            x.display(), QRect(on.x() + 50, 40, 200, 100), colours[i]));
        QVERIFY(windows.back()->usable());
        windows.back()->listenForButtons();
    }
    for (size_t i = 0; i < screens.size(); ++i) {
        QTRY_COMPARE_WITH_TIMEOUT(screens[i].newestPixelsOf(colours[i]), 200 * 100, kPatience);
        for (size_t other = 0; other < screens.size(); ++other)
            if (other != i)
                QCOMPARE(screens[i].newestPixelsOf(colours[other]), 0);
    }

    // The middle one goes: only its width is given back, the right one
    // and its window close the gap, and its screen shows that window again.
    QVERIFY(screens[1].stop());
    QCOMPARE(monitortest::desktopSize(x.display()), QSize(1280 + 800 + 1024, 1024));
    QCOMPARE(monitorOf(x.display(), screens[1].monitor()), QRect());
    QCOMPARE(monitorOf(x.display(), screens[0].monitor()), QRect(1280, 0, 800, 480));
    QCOMPARE(monitorOf(x.display(), screens[2].monitor()), QRect(2080, 0, 1024, 600));
    QCOMPARE(windows[0]->geometry(), QRect(1330, 40, 200, 100));
    QCOMPARE(windows[2]->geometry(), QRect(2130, 40, 200, 100));
    QVERIFY(QRect(QPoint(0, 0), kDesktop).contains(windows[1]->geometry()));
    QTRY_COMPARE_WITH_TIMEOUT(screens[2].newestPixelsOf(colours[2]), 200 * 100, kPatience);
    QTRY_COMPARE_WITH_TIMEOUT(screens[0].newestPixelsOf(colours[0]), 200 * 100, kPatience);

    // A touch on each screen presses the window on its own monitor, where
    // that monitor is now.
    QCOMPARE(touch(screens[0], QPoint(100, 60), *windows[0]), QList<QPoint>{QPoint(1380, 60)});
    QCOMPARE(touch(screens[2], QPoint(100, 60), *windows[2]), QList<QPoint>{QPoint(2180, 60)});
    // Both touched at once: each window gets its own press, then its own
    // release, whatever the other finger does meanwhile.
    TouchSender first(touchChannelName(screens[0].key));
    TouchSender third(touchChannelName(screens[2].key));
    QVERIFY(first.send(120, 70, false));
    QVERIFY(third.send(80, 90, false));
    QVERIFY(first.send(120, 70, true));
    QVERIFY(third.send(80, 90, true));
    const auto buttons = [](monitortest::TestWindow &w, QList<std::pair<bool, QPoint>> &seen) {
        while (const auto b = w.nextButton())
            seen.append({b->press, b->root});
        return seen.size() >= 2;
    };
    QList<std::pair<bool, QPoint>> onFirst;
    QList<std::pair<bool, QPoint>> onThird;
    QTRY_VERIFY_WITH_TIMEOUT(buttons(*windows[0], onFirst) && buttons(*windows[2], onThird), kPatience);
    using Seen = QList<std::pair<bool, QPoint>>;
    QCOMPARE(onFirst, (Seen{{true, QPoint(1400, 70)}, {false, QPoint(1400, 70)}}));
    QCOMPARE(onThird, (Seen{{true, QPoint(2160, 90)}, {false, QPoint(2160, 90)}}));

    for (size_t i : {size_t(0), size_t(2)})
        QVERIFY(screens[i].stop());
    QCOMPARE(monitortest::desktopSize(x.display()), kDesktop);
    QCOMPARE(monitortest::monitors(x.display()).size(), 1);
}

void TestExtendSeveral::killedAtAnyStepOnlyItsPartIsPutBack_data()
{
    QTest::addColumn<QString>("step");
    QTest::addColumn<bool>("undoing"); // the step is one of taking its part out
    QTest::newRow("recorded") << QStringLiteral("recorded") << false;
    QTest::newRow("grown") << QStringLiteral("grown") << false;
    QTest::newRow("monitor added") << QStringLiteral("monitor-added") << false;
    QTest::newRow("windows moved") << QStringLiteral("windows-moved") << true;
    QTest::newRow("shifted") << QStringLiteral("shifted") << true;
    QTest::newRow("shrunk") << QStringLiteral("shrunk") << true;
    QTest::newRow("monitor deleted") << QStringLiteral("monitor-deleted") << true;
}

void TestExtendSeveral::killedAtAnyStepOnlyItsPartIsPutBack()
{
    QFETCH(QString, step);
    QFETCH(bool, undoing);
    monitortest::Xvfb x;
    const QString error = x.startExtendable(kDesktop, QSize(1280 + 800 + 480, 1024));
    if (!error.isEmpty())
        QSKIP(qPrintable(error));
    Screen survivor{QStringLiteral("usb-2-1"), QSize(480, 480), {}, {}};
    Screen killed{QStringLiteral("usb-2-2"), QSize(800, 480), {}, {}};
    QProcessEnvironment hook;
    hook.insert(QLatin1String(telvdrv::kRaiseAtVariable), step + QStringLiteral(":KILL"));
    // Taken out, it lies left of the other, which then has to move; added,
    // right of it.
    if (undoing) {
        QVERIFY(killed.start(x.display(), hook));
        QCOMPARE(waitFrame(*killed.share, kPatience), FrameWait::Picture);
        QVERIFY(survivor.start(x.display()));
        QCOMPARE(waitFrame(*survivor.share, kPatience), FrameWait::Picture);
        killed.driver->terminate();
    } else {
        QVERIFY(survivor.start(x.display()));
        QCOMPARE(waitFrame(*survivor.share, kPatience), FrameWait::Picture);
        QVERIFY(killed.start(x.display(), hook));
    }
    QVERIFY(killed.driver->waitForFinished(kPatience));
    QCOMPARE(killed.driver->exitStatus(), QProcess::CrashExit);

    // Its next start puts its part back and adds it anew, right of the other.
    QVERIFY(killed.start(x.display()));
    QCOMPARE(waitFrame(*killed.share, kPatience), FrameWait::Picture);
    QTRY_COMPARE_WITH_TIMEOUT(monitorOf(x.display(), killed.monitor()), QRect(1760, 0, 800, 480), kPatience);
    QCOMPARE(monitorOf(x.display(), survivor.monitor()), QRect(1280, 0, 480, 480));
    QCOMPARE(monitortest::desktopSize(x.display()), QSize(1280 + 480 + 800, 1024));
    QCOMPARE(monitortest::monitors(x.display()).size(), 3);
    QCOMPARE(survivor.driver->state(), QProcess::Running);
    QVERIFY(monitortest::rootHasProperty(
        x.display(), telvdrv::ExtendedDesktop::recordName(survivor.key.toStdString()).c_str()));

    QVERIFY(killed.stop());
    QVERIFY(survivor.stop());
    QCOMPARE(monitortest::desktopSize(x.display()), kDesktop);
    QCOMPARE(monitortest::monitors(x.display()).size(), 1);
    QVERIFY(!monitortest::rootHasProperty(
        x.display(), telvdrv::ExtendedDesktop::recordName(survivor.key.toStdString()).c_str()));
}

QTEST_GUILESS_MAIN(TestExtendSeveral)
#include "tst_extendseveral.moc"
