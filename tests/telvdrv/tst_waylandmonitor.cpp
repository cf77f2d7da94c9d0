// panelctl's monitor mode on a Wayland desktop: the real frame driver asks
// the screen-cast portal and receives the compositor's PipeWire stream.
// Runs inside the headless Wayland session of tests/wayland/wayland-session
// (under umockdev-wrapper); TAVRIK_WAYLAND_BED says which one: "sharing"
// (sway's portal shares the output HEADLESS-2), "refusing" (it says no) or
// "gnome" (mutter and GNOME's own portal).
#include "boxrecorder.h"
#include "bridge.h"
#include "chooser.h"
#include "shownscreen.h"
#include "monitortestsupport.h"
#include "panelfixture.h"
#include "waylandbed.h"

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <algorithm>
#include <functional>

#include <sys/stat.h>

using monitortest::Bytes;

namespace {

const QString kOutput = QStringLiteral("HEADLESS-2");

bool swaymsg(const QStringList &arguments)
{
    QProcess p;
    p.start(QStringLiteral("swaymsg"), arguments);
    return p.waitForFinished(5000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// What the compositor shows on the output, as 4-byte pixels.
QImage screenshot(const QString &folder)
{
    const QString file = folder + QStringLiteral("/shot.png");
    QProcess grim;
    grim.start(QStringLiteral("grim"), {QStringLiteral("-o"), kOutput, file});
    if (!grim.waitForFinished(5000) || grim.exitCode() != 0)
        return {};
    return QImage(file).convertToFormat(QImage::Format_RGB32);
}

// Counts glass pixels (RGB 5-6-5) near the driver's message colours.
bool glassLooksLikeAMessage(const std::vector<uint16_t> &glass)
{
    if (glass.empty())
        return false;
    size_t background = 0;
    size_t white = 0;
    for (uint16_t p : glass) {
        const int r = p >> 11;
        const int g = p >> 5 & 0x3F;
        const int b = p & 0x1F;
        background += std::abs(r - 6) <= 1 && std::abs(g - 12) <= 2 && std::abs(b - 6) <= 1;
        white += r == 31 && g >= 62 && b == 31;
    }
    return background > glass.size() / 2 && white > 100;
}

bool showsAMessage(const sim::ScreenModel &model)
{
    int w = 0;
    int h = 0;
    return glassLooksLikeAMessage(model.shownPicture(&w, &h));
}

// The compositor sends a frame only when the output changes: the same mode
// applied again makes one. Repeats that until `done` holds or 20 s passed.
bool nudgeOutputUntil(const std::function<bool()> &done)
{
    QElapsedTimer waited;
    waited.start();
    while (!done() && waited.elapsed() < 20000) {
        swaymsg({QStringLiteral("output"), kOutput, QStringLiteral("mode"), QStringLiteral("800x480")});
        QTest::qWait(400);
    }
    return done();
}

bool glassShows(const sim::ScreenModel &model, const Bytes &expected)
{
    int w = 0;
    int h = 0;
    return monitortest::showsOnGlass(model.shownPicture(&w, &h), expected);
}

// The same, but perhaps for the desktop's pointer over it: once a pointer
// was used, mutter may embed it in the cast wherever it stands.
bool glassShowsBarThePointer(const sim::ScreenModel &model, const Bytes &expected)
{
    constexpr int kPointerOnGlass = 24;
    int w = 0;
    int h = 0;
    const std::vector<uint16_t> glass = model.shownPicture(&w, &h);
    const QRect off = monitortest::glassDifference(glass, w, expected);
    return monitortest::showsOnGlass(glass, expected)
           || (!off.isEmpty() && off.width() <= kPointerOnGlass && off.height() <= kPointerOnGlass);
}

// A restore token kept for the next start, readable by the owner only.
bool tokenKept(const QString &path)
{
    struct stat st{};
    return stat(QFile::encodeName(path).constData(), &st) == 0 && st.st_size > 0 && (st.st_mode & 0777) == 0600;
}

// Whether the screen gets no more pictures once those on their way (a
// client's last redraw, say) have come: none for 1.5 s, within 10 s.
bool goesStill(const sim::ScreenModel &model)
{
    QElapsedTimer waited;
    waited.start();
    QElapsedTimer quiet;
    quiet.start();
    uint64_t seen = model.frameSerial();
    while (waited.elapsed() < 10000) {
        QTest::qWait(100);
        if (model.frameSerial() != seen) {
            seen = model.frameSerial();
            quiet.restart();
        } else if (quiet.elapsed() >= 1500) {
            return true;
        }
    }
    return false;
}

} // namespace

class TestWaylandMonitor : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void outputReachesTheGlassThroughTheMonitorButton();
    void refusedSharingIsToldOnTheScreenAndEndsTheDriver();
    void extendMakesAMonitorOfTheScreensSizeOnGnome();
    void mirrorShowsTheRealMonitorOnGnome();
    // After those that compare whole pictures: a touch leaves the pointer
    // where it pressed, and casts show it.
    void touchOnTheGlassPressesTheWindowWhereItLands_data();
    void touchOnTheGlassPressesTheWindowWhereItLands();
    // After the others: it adds an output, which sway 1.7 cannot take away.
    void eachScreenShowsItsOwnOutputAndKeepsItsGrant();
    // Last: it ends the portal's backend.
    void sharingEndedByTheDesktopIsToldOnTheScreen();

private:
    QPushButton *monitorButton() const
    {
        return m_f->window->findChild<QPushButton *>(QStringLiteral("pbMonitor"));
    }
    // `beforeStart` runs once the screen is open, before the button.
    void startMonitorMode(const char *preset, const std::function<void()> &beforeStart = {});
    // The open screen's restore token file for `mode`'s suffix ("" or "-mirror").
    QString tokenFile(const QString &suffix = {}) const
    {
        return m_config.filePath(QStringLiteral("tavrik/screencast-token-")
                                 + session::screenKey(m_f->session().opened().port) + suffix);
    }
    void stopMonitorMode();
    bool writeMonitorConf(const QString &text) const
    {
        QFile conf(m_config.filePath(QStringLiteral("tavrik/monitor.conf")));
        return QDir().mkpath(m_config.filePath(QStringLiteral("tavrik"))) && conf.open(QIODevice::WriteOnly)
            && conf.write(text.toUtf8()) == text.toUtf8().size();
    }

    std::unique_ptr<PanelFixture> m_f;
    QTemporaryDir m_appDir;
    QTemporaryDir m_config;
    BoxRecorder m_boxes;
    QString m_bed;
    std::shared_ptr<sim::ScreenModel> m_model;
};

void TestWaylandMonitor::initTestCase()
{
    QVERIFY2(qEnvironmentVariableIsSet("LD_PRELOAD"), "run under umockdev-wrapper");
    m_bed = qEnvironmentVariable("TAVRIK_WAYLAND_BED");
    QVERIFY2(!m_bed.isEmpty() && qEnvironmentVariableIsSet("WAYLAND_DISPLAY"),
             "run inside tests/wayland/wayland-session with TAVRIK_WAYLAND_BED set");
    QCOMPARE(qgetenv("XDG_SESSION_TYPE"), QByteArray("wayland"));
    qunsetenv("DISPLAY");
    qputenv("TAVRIK_MONITOR_MODE", "extend");
    QVERIFY(m_appDir.isValid() && m_config.isValid());
    qputenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit());
    QVERIFY(QFile::copy(QStringLiteral(TELVDRV_PATH), m_appDir.filePath(QStringLiteral("telvdrv"))));
    m_f = std::make_unique<PanelFixture>();
}

void TestWaylandMonitor::cleanup()
{
    m_model.reset();
    m_f->clear();
    QTRY_VERIFY_WITH_TIMEOUT(monitortest::childrenNamed(QStringLiteral("telvdrv")).isEmpty(), 5000);
}

void TestWaylandMonitor::startMonitorMode(const char *preset, const std::function<void()> &beforeStart)
{
    m_f->newWindow();
    m_f->window->setProgramDir(m_appDir.path());
    m_model = m_f->open(preset, 1);
    QVERIFY(m_model);
    if (beforeStart)
        beforeStart();
    monitorButton()->click();
    QVERIFY(monitorButton()->isChecked());
    QTRY_COMPARE_WITH_TIMEOUT(monitortest::childrenNamed(QStringLiteral("telvdrv")).size(), 1, 5000);
}

void TestWaylandMonitor::stopMonitorMode()
{
    // Unchecking ends the driver and blanks the screen.
    monitorButton()->click();
    QTRY_VERIFY_WITH_TIMEOUT(monitortest::childrenNamed(QStringLiteral("telvdrv")).isEmpty(), 5000);
    QTRY_VERIFY(!m_f->session().monitorRunning());
    const Bytes blank = m_model->lastRawBulk();
    QVERIFY(!blank.empty() && std::all_of(blank.begin(), blank.end(), [](uint8_t b) { return b == 0; }));
}

void TestWaylandMonitor::outputReachesTheGlassThroughTheMonitorButton()
{
    if (m_bed != QLatin1String("sharing"))
        QSKIP("needs the sharing bed");
    // A picture whose every shift, swap or turn shows, as the output's
    // background; what the glass must show is what the compositor shows.
    const int width = 800;
    const int height = 480;
    const Bytes pattern = monitortest::pattern(width, height, width * 4, 11);
    QImage(pattern.data(), width, height, width * 4, QImage::Format_RGB32).save(m_config.filePath(QStringLiteral("bg.png")));
    QVERIFY(swaymsg({QStringLiteral("output"), kOutput, QStringLiteral("bg"), m_config.filePath(QStringLiteral("bg.png")),
                     QStringLiteral("stretch")}));
    QImage shown;
    QTRY_VERIFY_WITH_TIMEOUT((shown = screenshot(m_config.path())).size() == QSize(width, height)
                                 && shown.pixel(width / 2, height / 2) != 0xFF000000, 10000);
    const Bytes expected = monitortest::expectedFrame(shown.constBits(), int(shown.bytesPerLine()), width, height);

    // The 6.8-inch panel is 800x480 and scans top to bottom mirrored.
    startMonitorMode("6.8in-telv");
    const auto model = m_model;
    // Frames sent since the last stop show the output.
    uint64_t since = 0;
    const auto glassMatches = [&model, &expected, &since] {
        int w = 0;
        int h = 0;
        return model->frameSerial() > since && monitortest::showsOnGlass(model->shownPicture(&w, &h), expected);
    };
    const QString token = tokenFile();
    // The second start hands the portal the token the first one kept.
    for (int start = 1; start <= 2; ++start) {
        QVERIFY2(nudgeOutputUntil(glassMatches),
                 qPrintable(QStringLiteral("start %1: the output never reached the glass").arg(start)));

        QVERIFY(tokenKept(token));

        stopMonitorMode();
        since = model->frameSerial();
        if (start == 1) {
            monitorButton()->click();
            QTRY_COMPARE_WITH_TIMEOUT(monitortest::childrenNamed(QStringLiteral("telvdrv")).size(), 1, 5000);
        }
    }
}

void TestWaylandMonitor::touchOnTheGlassPressesTheWindowWhereItLands_data()
{
    QTest::addColumn<bool>("extend");
    QTest::newRow("extend") << true;
    // GNOME 43's portal places points on a real monitor's stream only; a
    // virtual one is reached by relative moves: both ways are tried there.
    if (m_bed == QLatin1String("gnome"))
        QTest::newRow("mirror") << false;
}

void TestWaylandMonitor::touchOnTheGlassPressesTheWindowWhereItLands()
{
    QFETCH(bool, extend);
    const bool gnome = m_bed == QLatin1String("gnome");
    if (m_bed != QLatin1String("sharing") && !gnome)
        QSKIP("needs the sharing or the GNOME bed");
    QImage picture(800, 480, QImage::Format_RGB32);
    picture.fill(QColor(0x3060c0));
    // The 6.8-inch panel mirrors its rows: a point off every axis shows it.
    QPoint at(613, 97);
    QPoint expectedAt = at;
    std::unique_ptr<waylandbed::PictureWindow> window;
    const auto extendAgain = qScopeGuard([] { qputenv("TAVRIK_MONITOR_MODE", "extend"); });
    const auto show = [&window](QPoint on) {
        window = std::make_unique<waylandbed::PictureWindow>(QStringLiteral(PICTUREWINDOW_PATH), on,
                                                             QStringList{QStringLiteral("--fill"), QStringLiteral("3060c0")});
        return window->shown();
    };
    if (gnome) {
        QTRY_COMPARE_WITH_TIMEOUT(waylandbed::gnomeMonitors().size(), 1, 10000);
        const QList<waylandbed::Monitor> real = waylandbed::gnomeMonitors();
        // The dialog lists a real monitor by its maker.
        QString source = QStringLiteral("Virtual monitor");
        if (!extend) {
            // 1280x800 as 768x480 between bars, where (616, 96) shows (1000, 160).
            qputenv("TAVRIK_MONITOR_MODE", "mirror");
            picture.fill(Qt::black);
            QPainter(&picture).fillRect(16, 0, 768, 480, QColor(0x3060c0));
            at = QPoint(616, 96);
            expectedAt = QPoint(1000, 160);
            QVERIFY(show(real.front().area.center()));
            source = real.front().match.section(QLatin1Char(':'), 0, 0);
        }
        startMonitorMode("6.8in-telv");
        // It asks at every start, for the cast and the touches at once.
        QString answer;
        QVERIFY2(QTest::qWaitFor([&] { return (answer = waylandbed::answerRemoteDesktopDialog(source)).isEmpty(); },
                                 20000),
                 qPrintable(answer));
        if (extend) {
            waylandbed::Monitor added;
            QTRY_VERIFY_WITH_TIMEOUT(!(added = waylandbed::addedMonitor(real)).connector.isEmpty(), 15000);
            QVERIFY(show(added.area.topLeft()));
        }
    } else {
        // A window filling the shared output, 800x480 at (1280, 0) of the layout.
        QVERIFY(show(QPoint(1280, 0)));
        startMonitorMode("6.8in-telv");
    }
    const auto model = m_model;
    const Bytes expected = monitortest::expectedFrame(picture.constBits(), int(picture.bytesPerLine()), 800, 480);
    // Touches are placed through the last picture: the window's came first.
    const bool came = gnome ? QTest::qWaitFor([&model, &expected] { return glassShowsBarThePointer(*model, expected); },
                                              20000)
                            : nudgeOutputUntil([&model, &expected] { return glassShowsBarThePointer(*model, expected); });
    int w = 0;
    int h = 0;
    const std::vector<uint16_t> glass = model->shownPicture(&w, &h);
    const QRect off = monitortest::glassDifference(glass, w, expected);
    QVERIFY2(came, qPrintable(QStringLiteral("after %1 frames, the glass differs within %2x%3 at (%4, %5)")
                                  .arg(model->frameSerial())
                                  .arg(off.width())
                                  .arg(off.height())
                                  .arg(off.x())
                                  .arg(off.y())));

    const auto [rawX, rawY] = model->rawTouchForPicturePoint(at.x(), at.y());
    model->injectTouch(rawX, rawY, 0);
    model->injectTouch(rawX, rawY, 1);
    QTRY_VERIFY_WITH_TIMEOUT(window->said().size() >= 2, 10000);
    const QStringList said = window->said();
    for (int i = 0; i < 2; ++i) {
        const QStringList words = said[i].split(QLatin1Char(' '));
        const QPoint landed(words.value(1).toInt(), words.value(2).toInt());
        QVERIFY2(words.size() == 3 && words[0] == QLatin1String(i == 0 ? "press" : "release")
                     && std::abs(landed.x() - expectedAt.x()) <= 1 && std::abs(landed.y() - expectedAt.y()) <= 1,
                 qPrintable(said.join(QLatin1String(", "))));
    }
    stopMonitorMode();
}

void TestWaylandMonitor::extendMakesAMonitorOfTheScreensSizeOnGnome()
{
    if (m_bed != QLatin1String("gnome"))
        QSKIP("needs the GNOME bed");
    // The bed's one monitor, once one that a test before left has gone.
    QTRY_COMPARE_WITH_TIMEOUT(waylandbed::gnomeMonitors().size(), 1, 10000);
    const QList<waylandbed::Monitor> real = waylandbed::gnomeMonitors();
    // The user chose "Virtual monitor" in the portal's dialog before, without
    // touches (with them, GNOME 43's portal asks at every start).
    QVERIFY(writeMonitorConf(QStringLiteral("touch=off\n")));
    const auto touchesOn = qScopeGuard([this] { QFile::remove(m_config.filePath(QStringLiteral("tavrik/monitor.conf"))); });

    // The 6.8-inch panel is 800x480; a picture whose every shift, swap or
    // turn shows fills the new monitor.
    const QSize size(800, 480);
    const Bytes picture = monitortest::pattern(size.width(), size.height(), size.width() * 4, 11);
    const Bytes expected = monitortest::expectedFrame(picture.data(), size.width() * 4, size.width(), size.height());
    QString remembered;
    startMonitorMode("6.8in-telv", [&] {
        remembered = waylandbed::rememberScreenCastChoice(tokenFile(), waylandbed::kVirtualSource);
    });
    QVERIFY2(remembered.isEmpty(), qPrintable(remembered));
    const auto model = m_model;
    // The second start hands the portal the token the first one kept: no
    // dialog, which nobody here would answer.
    for (int start = 1; start <= 2; ++start) {
        waylandbed::Monitor added;
        QTRY_VERIFY2_WITH_TIMEOUT(!(added = waylandbed::addedMonitor(real)).connector.isEmpty(),
                                  qPrintable(QStringLiteral("start %1: no monitor was added").arg(start)), 15000);
        QCOMPARE(added.area.size(), size);
        QVERIFY(!added.primary);
        {
            const waylandbed::PictureWindow window(QStringLiteral(PICTUREWINDOW_PATH), added.area.topLeft(),
                                                   {QStringLiteral("--pattern"), QStringLiteral("11")});
            QVERIFY(window.shown());
            QTRY_VERIFY2_WITH_TIMEOUT(
                glassShows(*model, expected),
                qPrintable(QStringLiteral("start %1: the window never reached the glass").arg(start)), 20000);
            QVERIFY2(goesStill(*model), "a still desktop still sends pictures");
        }
        QVERIFY(tokenKept(tokenFile()));

        stopMonitorMode();
        QTRY_COMPARE_WITH_TIMEOUT(waylandbed::gnomeMonitors().size(), real.size(), 10000);
        if (start == 1) {
            monitorButton()->click();
            QTRY_COMPARE_WITH_TIMEOUT(monitortest::childrenNamed(QStringLiteral("telvdrv")).size(), 1, 5000);
        }
    }
}

void TestWaylandMonitor::mirrorShowsTheRealMonitorOnGnome()
{
    if (m_bed != QLatin1String("gnome"))
        QSKIP("needs the GNOME bed");
    // The bed's one monitor, once one that a test before left has gone.
    QTRY_COMPARE_WITH_TIMEOUT(waylandbed::gnomeMonitors().size(), 1, 10000);
    const QList<waylandbed::Monitor> real = waylandbed::gnomeMonitors();
    // The user chose the real monitor before, in mirror mode, without
    // touches (with them, GNOME 43's portal asks at every start).
    QVERIFY(writeMonitorConf(QStringLiteral("touch=off\n")));
    const auto touchesOn = qScopeGuard([this] { QFile::remove(m_config.filePath(QStringLiteral("tavrik/monitor.conf"))); });
    qputenv("TAVRIK_MONITOR_MODE", "mirror");
    const auto extendAgain = qScopeGuard([] { qputenv("TAVRIK_MONITOR_MODE", "extend"); });

    // 1280x800 fits the 800x480 glass as 768x480 between black bars.
    const waylandbed::PictureWindow window(QStringLiteral(PICTUREWINDOW_PATH), real.front().area.center(),
                                           {QStringLiteral("--fill"), QStringLiteral("3060c0")});
    QVERIFY(window.shown());
    QImage picture(800, 480, QImage::Format_RGB32);
    picture.fill(Qt::black);
    QPainter(&picture).fillRect(16, 0, 768, 480, QColor(0x3060c0));
    const Bytes expected = monitortest::expectedFrame(picture.constBits(), int(picture.bytesPerLine()), 800, 480);
    QString remembered;
    startMonitorMode("6.8in-telv", [&] {
        remembered = waylandbed::rememberScreenCastChoice(tokenFile(QStringLiteral("-mirror")),
                                                          waylandbed::kMonitorSource, real.front().match);
    });
    QVERIFY2(remembered.isEmpty(), qPrintable(remembered));
    const auto model = m_model;
    QTRY_VERIFY_WITH_TIMEOUT(glassShows(*model, expected), 20000);
    QCOMPARE(waylandbed::gnomeMonitors().size(), real.size());
    stopMonitorMode();
}

void TestWaylandMonitor::refusedSharingIsToldOnTheScreenAndEndsTheDriver()
{
    if (m_bed != QLatin1String("refusing"))
        QSKIP("needs the refusing bed");
    startMonitorMode("6.8in-telv");
    const QList<qint64> drivers = monitortest::childrenNamed(QStringLiteral("telvdrv"));
    QCOMPARE(drivers.size(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(showsAMessage(*m_model), 10000);
    QVERIFY(monitortest::waitGone(drivers.front(), 5000));
    QVERIFY(QDir(m_config.filePath(QStringLiteral("tavrik"))).entryList({QStringLiteral("screencast-token*")}).isEmpty());
}

void TestWaylandMonitor::eachScreenShowsItsOwnOutputAndKeepsItsGrant()
{
    if (m_bed != QLatin1String("sharing"))
        QSKIP("needs the sharing bed");
    // A second output of the same size, right of HEADLESS-2; each output in
    // a colour of its own.
    const QStringList outputs{kOutput, QStringLiteral("HEADLESS-3")};
    QVERIFY(swaymsg({QStringLiteral("create_output")}));
    QVERIFY(swaymsg({QStringLiteral("output"), outputs[1], QStringLiteral("mode"), QStringLiteral("800x480"),
                     QStringLiteral("position"), QStringLiteral("2080"), QStringLiteral("0")}));
    const QStringList colours{QStringLiteral("#ff0000"), QStringLiteral("#00ff00")};
    for (int i = 0; i < 2; ++i)
        QVERIFY(swaymsg({QStringLiteral("output"), outputs[i], QStringLiteral("bg"), colours[i],
                         QStringLiteral("solid_color")}));
    const QString choice = qEnvironmentVariable("XDG_RUNTIME_DIR") + QStringLiteral("/cast-output");
    const auto choose = [&choice](const QString &output) {
        QFile f(choice);
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(output.toUtf8()) > 0;
    };
    const auto cleanUp = qScopeGuard([&choice] { QFile::remove(choice); });

    std::vector<std::shared_ptr<sim::ScreenModel>> screens;
    for (int i = 0; i < 2; ++i)
        screens.push_back(m_f->bus->model(m_f->attach("6.8in-telv", 1)));
    // Mostly red on the first glass, mostly green on the second.
    const auto showsItsOwn = [&screens](size_t i) {
        int w = 0;
        int h = 0;
        const std::vector<uint16_t> glass = screens[i]->shownPicture(&w, &h);
        const auto own = std::count_if(glass.begin(), glass.end(), [i](uint16_t p) {
            return i == 0 ? p >> 11 >= 30 && (p >> 5 & 0x3F) <= 2 : (p >> 5 & 0x3F) >= 60 && p >> 11 <= 1;
        });
        return !glass.empty() && own > qsizetype(glass.size() * 9 / 10);
    };
    const auto nudge = [&outputs](size_t i) {
        swaymsg({QStringLiteral("output"), outputs[int(i)], QStringLiteral("mode"), QStringLiteral("800x480")});
    };

    session::ScreenChooser spanmon;
    QSignalSpy chosen(&spanmon, &session::ScreenChooser::chosen);
    const QString driver = m_appDir.filePath(QStringLiteral("telvdrv"));
    // The first start of each asks the portal, which asks its chooser; the
    // second hands the portal each screen's own token, while the chooser
    // would now give the first output to both.
    for (int start = 1; start <= 2; ++start) {
        // One after the other: the portal asks its chooser only once the
        // driver has started.
        for (size_t i = 0; i < screens.size(); ++i) {
            QVERIFY(choose(start == 1 ? outputs[int(i)] : outputs[0]));
            chosen.clear();
            spanmon.start(screenlink::formatDeviceId(screens[i]->deviceId().data()), driver, QStringLiteral("extend"));
            QTRY_VERIFY_WITH_TIMEOUT(!chosen.isEmpty(), 10000);
            QCOMPARE(chosen.first().at(1).value<session::ChooseOutcome>(), session::ChooseOutcome::Started);
            QElapsedTimer waited;
            waited.start();
            while (!showsItsOwn(i) && waited.elapsed() < 20000) {
                nudge(i);
                QTest::qWait(400);
            }
            QVERIFY2(showsItsOwn(i), qPrintable(QStringLiteral("start %1: screen %2 does not show %3")
                                                    .arg(start).arg(i + 1).arg(outputs[int(i)])));
        }
        // Both at once, each its own.
        nudge(0);
        nudge(1);
        QTRY_VERIFY_WITH_TIMEOUT(showsItsOwn(0) && showsItsOwn(1), 10000);
        QCOMPARE(monitortest::childrenNamed(QStringLiteral("telvdrv")).size(), 2);
        spanmon.stopAll();
        QTRY_VERIFY_WITH_TIMEOUT(monitortest::childrenNamed(QStringLiteral("telvdrv")).isEmpty(), 5000);
    }
}

void TestWaylandMonitor::sharingEndedByTheDesktopIsToldOnTheScreen()
{
    if (m_bed != QLatin1String("sharing"))
        QSKIP("needs the sharing bed");
    startMonitorMode("6.8in-telv");
    const QList<qint64> drivers = monitortest::childrenNamed(QStringLiteral("telvdrv"));
    QCOMPARE(drivers.size(), 1);
    const auto model = m_model;
    // Streaming: a frame of the output reached the screen.
    const uint64_t before = model->frameSerial();
    QVERIFY(nudgeOutputUntil([&model, before] { return model->frameSerial() > before + 1; }));

    // The compositor's side of the cast goes away, as when the user stops
    // sharing from the desktop.
    QProcess::execute(QStringLiteral("pkill"), {QStringLiteral("-f"), QStringLiteral("xdg-desktop-portal-wlr")});
    QTRY_VERIFY_WITH_TIMEOUT(showsAMessage(*model), 10000);
    QVERIFY(monitortest::waitGone(drivers.front(), 5000));
}

QTEST_MAIN(TestWaylandMonitor)
#include "tst_waylandmonitor.moc"
