// The launcher: its screen options, the glass it shows and the program it
// runs under the simulated screens.
#include "model/firmware.h"
#include "screenoption.h"
#include "screenviewer.h"
#include "usb/virtualbus.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

using namespace sim;

class TestSimLauncher : public QObject {
    Q_OBJECT

private slots:
    void screenOptionsParse();
    void badScreenOptionsAreRefusedWithReason();
    void glassShowsFrameUprightWithFlipAndBacklight();
    void clickOnGlassBecomesTouchAtThatPicturePoint();
    void programUnderLauncherSeesTheScreens();
    void listingUnderLauncherIsValidJson();
    void busChangesReachProgramsUnderLauncher_data();
    void busChangesReachProgramsUnderLauncher();
    void launcherRefusesUnknownPreset();
    void helpPrintsWithoutDisplay();
    void presetListNamesEveryPresetWithoutDisplay();
};

// As on a server or over ssh: a QApplication would abort here.
static QProcessEnvironment withoutDisplay()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    return env;
}

void TestSimLauncher::screenOptionsParse()
{
    std::string error;
    auto option = parseScreenOption("4in-square-telv@2.11:debug,slow=40,fail-every=7,seed=9", &error);
    QVERIFY2(option.has_value(), error.c_str());
    QCOMPARE(option->preset, std::string("4in-square-telv"));
    QCOMPARE(option->bus, 2);
    QCOMPARE(option->port, 11);
    QVERIFY(option->debug);
    QCOMPARE(option->faults.delayMs, 40);
    QCOMPARE(option->faults.failEvery, 7);
    QCOMPARE(option->seed, uint32_t(9));

    option = parseScreenOption("5in-k2t-m50a:boot,silent,short=2,bulk-accept=0,reboot-delay=0", &error);
    QVERIFY2(option.has_value(), error.c_str());
    QCOMPARE(option->port, 0);
    QVERIFY(option->bootLoader);
    QVERIFY(option->faults.silent);
    QCOMPARE(option->faults.shortReply, 2);
    QCOMPARE(option->faults.bulkAccept, 0);
    QCOMPARE(option->rebootDelayMs, 0);

    // Behind a hub: port 1 of the hub at port 3.
    option = parseScreenOption("6.8in-telv@1.3.1", &error);
    QVERIFY2(option.has_value(), error.c_str());
    QCOMPARE(option->hubs, std::vector<int>{3});
    QCOMPARE(option->port, 1);
}

void TestSimLauncher::badScreenOptionsAreRefusedWithReason()
{
    const char *bad[] = {"9in-telv", "6.8in-telv@1", "6.8in-telv@1.128", "6.8in-telv@0.4", "6.8in-telv@1.4x", "6.8in-telv@1.2.0", "6.8in-telv@1.2.",
                         "6.8in-telv:slow", "6.8in-telv:slow=-1", "6.8in-telv:fail-every=0", "6.8in-telv:loud",
                         "6.8in-telv:debug=1"};
    for (const char *text : bad) {
        std::string error;
        QVERIFY2(!parseScreenOption(text, &error).has_value(), text);
        QVERIFY2(!error.empty(), text);
    }
}

void TestSimLauncher::glassShowsFrameUprightWithFlipAndBacklight()
{
    VirtualBus bus;
    auto model = std::make_shared<ScreenModel>(*findPreset("6.8in-telv"));
    const int slot = bus.attach(model, 1, 4);
    ScreenViewer viewer(bus, slot);

    // A frame whose first picture row is red and the rest blue, mirrored top
    // to bottom as the 6.8-inch panel scans it: the red row is the last sent.
    std::vector<uint8_t> frame(800 * 480 * 2);
    for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 800; ++x) {
            const uint16_t c = y == 479 ? 0xF800 : 0x001F;
            frame[size_t(y * 800 + x) * 2] = uint8_t(c);
            frame[size_t(y * 800 + x) * 2 + 1] = uint8_t(c >> 8);
        }
    const std::vector<uint8_t> header{0x00, 0x2C, 0x00, 0xB8, 0x0B, 0x00};
    model->control({0x40, 0xB0, 0, 0, 6}, header.data(), header.size());
    model->bulkOut(0x02, frame.data(), frame.size());
    QTRY_VERIFY(!viewer.glass().isNull());
    QCOMPARE(viewer.glass().size(), QSize(800, 480));
    QCOMPARE(viewer.glass().pixelColor(10, 0), QColor(Qt::red));
    QCOMPARE(viewer.glass().pixelColor(10, 479), QColor(Qt::blue));

    // This panel is upright with vertical flip on; turning it off flips the glass.
    const std::vector<uint8_t> flipOff{0x00, 0x36, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00};
    model->control({0x40, 0xB0, 0, 0, 8}, flipOff.data(), flipOff.size());
    QTRY_COMPARE(viewer.glass().pixelColor(10, 479), QColor(Qt::red));

    const std::vector<uint8_t> dim{0x00, 0x51, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00};
    model->control({0x40, 0xB0, 0, 0, 8}, dim.data(), dim.size());
    QTRY_COMPARE(viewer.glass().pixelColor(10, 479), QColor(Qt::black));
}

void TestSimLauncher::clickOnGlassBecomesTouchAtThatPicturePoint()
{
    VirtualBus bus;
    auto model = std::make_shared<ScreenModel>(*findPreset("10in-telv"));
    const int slot = bus.attach(model, 1, 4);
    ScreenViewer viewer(bus, slot);
    viewer.resize(1024 / 2, 600 / 2 + 36); // glass at half size
    viewer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&viewer));

    QTest::mousePress(&viewer, Qt::LeftButton, {}, QPoint(50, 100));
    const auto report = model->takeTouchReport();
    QVERIFY(report.has_value());
    // The 10-inch TELV panel maps raw positions one to one.
    const int rx = ((*report)[3] & 0x0F) << 8 | (*report)[4];
    const int ry = ((*report)[5] & 0x0F) << 8 | (*report)[6];
    QVERIFY(qAbs(rx - 100) <= 2);
    QVERIFY(qAbs(ry - 200) <= 2);
    QCOMPARE((*report)[3] >> 6, 0); // contact
    QTest::mouseRelease(&viewer, Qt::LeftButton, {}, QPoint(50, 100));
    QCOMPARE((*model->takeTouchReport())[3] >> 6, 1); // lift

    // Unplugged from the viewer's own button.
    viewer.findChild<QPushButton *>()->click();
    QVERIFY(!bus.plugged(slot));
}

void TestSimLauncher::programUnderLauncherSeesTheScreens()
{
    QProcess p;
    p.setProcessEnvironment(withoutDisplay());
    p.start(QStringLiteral(TAVRIK_SIM_PATH),
            {QStringLiteral("--no-viewer"), QStringLiteral("--screen"), QStringLiteral("6.8in-telv@1.4:debug"),
             QStringLiteral("--screen"), QStringLiteral("4in-telv@2.7:boot"), QStringLiteral("--"),
             QStringLiteral(USBPROBE_PATH)});
    QVERIFY(p.waitForFinished(20000));
    const QString output = QString::fromUtf8(p.readAllStandardOutput());
    const QString errors = QString::fromUtf8(p.readAllStandardError());
    QCOMPARE(p.exitCode(), 0);
    // Standard output is the program's alone; the launcher speaks on standard error.
    QCOMPARE(output.split(QLatin1Char('\n'), Qt::SkipEmptyParts).size(), 2);
    QVERIFY2(output.contains(QStringLiteral("1.4 c872:1004 TAVRIK-6.8INRGB DEBUG,800x480,v0.18")), qPrintable(output));
    QVERIFY2(output.contains(QStringLiteral("2.7 1f3a:efe8")), qPrintable(output));
    // The boot-loader screen's identity is shown for setting up its firmware server.
    const QString identity = QString::fromStdString(makeTelvIdentity(2));
    QVERIFY2(errors.contains(QStringLiteral("PHY(2.7) in its boot loader, screen identity ") + identity),
             qPrintable(errors));
}

void TestSimLauncher::listingUnderLauncherIsValidJson()
{
    QProcess p;
    p.setProcessEnvironment(withoutDisplay());
    p.start(QStringLiteral(TAVRIK_SIM_PATH), {QStringLiteral("--no-viewer"), QStringLiteral("--screen"),
                                               QStringLiteral("6.8in-telv@1.4"), QStringLiteral("--"),
                                               QStringLiteral(TAVRIKCTL_PATH), QStringLiteral("list"),
                                               QStringLiteral("--json")});
    QVERIFY(p.waitForFinished(20000));
    const QByteArray output = p.readAllStandardOutput();
    QCOMPARE(p.exitCode(), 0);
    QJsonParseError error{};
    const QJsonArray screens = QJsonDocument::fromJson(output, &error)[QLatin1String("screens")].toArray();
    QVERIFY2(error.error == QJsonParseError::NoError, output.constData());
    QCOMPARE(screens.size(), 1);
    QCOMPARE(screens[0][QLatin1String("port")].toString(), QStringLiteral("PHY(1.4)"));
}

namespace {

// tavrik-sim with panelctl's window as its program, fed bus commands
// through its pipe; other programs join its bus as second processes.
class LauncherRun {
public:
    explicit LauncherRun(const QString &screen)
    {
        m_pipe = m_dir.filePath(QStringLiteral("control"));
        m_launcher.start(QStringLiteral(TAVRIK_SIM_PATH),
                         {QStringLiteral("--no-viewer"), QStringLiteral("--control"), m_pipe, QStringLiteral("--screen"),
                          screen, QStringLiteral("--"), QStringLiteral(PANELPROBE_PATH)});
    }
    ~LauncherRun()
    {
        // The window ends with its input, and the launcher with it.
        m_launcher.closeWriteChannel();
        if (!m_launcher.waitForFinished(10000))
            m_launcher.kill();
    }

    // Waits until the window's last state satisfies `pred`.
    bool windowShows(const std::function<bool(const QString &)> &pred, int ms)
    {
        return QTest::qWaitFor(
            [&] {
                m_window += QString::fromUtf8(m_launcher.readAllStandardOutput());
                const QStringList lines = m_window.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
                return !lines.isEmpty() && pred(lines.last());
            },
            ms);
    }
    QString window() const { return m_window; }

    bool command(const QByteArray &line)
    {
        const int fd = ::open(m_pipe.toLocal8Bit().constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        const bool written = fd >= 0 && ::write(fd, line.constData(), size_t(line.size())) == line.size()
                             && ::write(fd, "\n", 1) == 1;
        if (fd >= 0)
            ::close(fd);
        return written;
    }

    // Runs a program on the launcher's bus and returns its standard output.
    QByteArray runOnBus(const QString &program, const QStringList &arguments)
    {
        if (!QTest::qWaitFor([&] { return !busDir().isEmpty(); }, 20000))
            return {};
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("UMOCKDEV_DIR"), busDir());
        env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral("libumockdev-preload.so.0"));
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(program, arguments);
        if (!p.waitForFinished(30000) || p.exitCode() != 0)
            return {};
        return p.readAllStandardOutput();
    }

private:
    QString busDir()
    {
        m_errors += QString::fromUtf8(m_launcher.readAllStandardError());
        return QRegularExpression(QStringLiteral("UMOCKDEV_DIR=(\\S+)")).match(m_errors).captured(1);
    }

    QTemporaryDir m_dir;
    QString m_pipe;
    QProcess m_launcher;
    QString m_window;
    QString m_errors;
};

} // namespace

void TestSimLauncher::busChangesReachProgramsUnderLauncher_data()
{
    // After each step (a bus command) the state of the screen: running,
    // telv-boot-loader, or none.
    QTest::addColumn<QString>("screen");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("states");
    QTest::newRow("unplug, plug in") << QStringLiteral("6.8in-telv@1.4")
                                     << QStringList{{}, QStringLiteral("unplug 1.4"), QStringLiteral("plug 1.4")}
                                     << QStringList{QStringLiteral("running"), {}, QStringLiteral("running")};
    QTest::newRow("boot loader starts its firmware when powered again")
        << QStringLiteral("6.8in-telv@1.4:boot") << QStringList{{}, QStringLiteral("replug 1.4")}
        << QStringList{QStringLiteral("telv-boot-loader"), QStringLiteral("running")};
}

void TestSimLauncher::busChangesReachProgramsUnderLauncher()
{
    QFETCH(QString, screen);
    QFETCH(QStringList, steps);
    QFETCH(QStringList, states);
    // panelctl scans every 3 s: a change shows within two scans.
    constexpr int kTwoScansMs = 2 * 3000 + 2000;
    LauncherRun run(screen);
    for (int i = 0; i < steps.size(); ++i) {
        if (!steps[i].isEmpty())
            QVERIFY(run.command(steps[i].toUtf8()));

        const QString state = states[i];
        QString title;
        const auto inState = [&](const QString &line) {
            title = line.section(QLatin1String(" | "), 0, 0);
            if (state == QLatin1String("running"))
                return title.startsWith(QLatin1String("ID: ")) && line.contains(QLatin1String("| lamp on"));
            if (state == QLatin1String("telv-boot-loader"))
                return line.contains(QLatin1String("| lamp on | Connected")) && line.contains(QLatin1String("TELV"));
            return !title.startsWith(QLatin1String("ID:")) && line.contains(QLatin1String("| lamp off"));
        };
        QVERIFY2(run.windowShows(inState, i == 0 ? 20000 : kTwoScansMs),
                 qPrintable(QStringLiteral("after \"%1\": %2").arg(steps[i], run.window())));

        // A second process finds the same on the bus: the screen the window
        // holds, in use, or none.
        QJsonArray listed;
        const auto listedInState = [&] {
            listed = QJsonDocument::fromJson(run.runOnBus(QStringLiteral(TAVRIKCTL_PATH),
                                                          {QStringLiteral("list"), QStringLiteral("--json")}))
                         [QLatin1String("screens")].toArray();
            return state.isEmpty() ? listed.isEmpty()
                                   : listed.size() == 1 && listed[0][QLatin1String("state")].toString() == "in-use"
                                         && listed[0][QLatin1String("port")].toString() == "PHY(1.4)";
        };
        QVERIFY2(QTest::qWaitFor(listedInState, 20000),
                 qPrintable(QStringLiteral("after \"%1\": %2").arg(steps[i], QJsonDocument(listed).toJson())));
    }
}

void TestSimLauncher::launcherRefusesUnknownPreset()
{
    QProcess p;
    p.start(QStringLiteral(TAVRIK_SIM_PATH), {QStringLiteral("--screen"), QStringLiteral("nope"),
                                               QStringLiteral("--"), QStringLiteral(USBPROBE_PATH)});
    QVERIFY(p.waitForFinished(20000));
    QCOMPARE(p.exitCode(), 2);
    QVERIFY(p.readAllStandardError().contains("unknown screen preset"));
}

void TestSimLauncher::helpPrintsWithoutDisplay()
{
    QProcess p;
    p.setProcessEnvironment(withoutDisplay());
    p.start(QStringLiteral(TAVRIK_SIM_PATH), {QStringLiteral("--help")});
    QVERIFY(p.waitForFinished(20000));
    const QString output = QString::fromUtf8(p.readAllStandardOutput());
    const QString errors = QString::fromUtf8(p.readAllStandardError());
    QVERIFY2(p.exitStatus() == QProcess::NormalExit, qPrintable(errors));
    QCOMPARE(p.exitCode(), 0);
    QVERIFY2(output.contains(QStringLiteral("Usage: ")), qPrintable(output + errors));
    QVERIFY2(output.contains(QStringLiteral("SCREEN is PRESET[@BUS.PORT][:OPTION,...]")), qPrintable(output));
    QVERIFY2(output.contains(QStringLiteral("--list-presets")), qPrintable(output));
}

void TestSimLauncher::presetListNamesEveryPresetWithoutDisplay()
{
    QProcess p;
    p.setProcessEnvironment(withoutDisplay());
    p.start(QStringLiteral(TAVRIK_SIM_PATH), {QStringLiteral("--list-presets")});
    QVERIFY(p.waitForFinished(20000));
    const QString output = QString::fromUtf8(p.readAllStandardOutput());
    const QString errors = QString::fromUtf8(p.readAllStandardError());
    QVERIFY2(p.exitStatus() == QProcess::NormalExit, qPrintable(errors));
    QCOMPARE(p.exitCode(), 0);
    QStringList listed;
    for (const QString &line : output.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        listed << line.section(QLatin1Char(' '), 0, 0);
    QStringList expected;
    for (const Preset &preset : presets())
        expected << QString::fromStdString(preset.name);
    QCOMPARE(listed, expected);
    QVERIFY(listed.contains(QStringLiteral("6.8in-telv")));
    QVERIFY(listed.contains(QStringLiteral("unknown")));
}

QTEST_MAIN(TestSimLauncher)
#include "tst_simlauncher.moc"
