// The launcher: its screen options, the glass it shows and the program it
// runs under the simulated screens.
#include "model/firmware.h"
#include "screenoption.h"
#include "screenviewer.h"
#include "usb/virtualbus.h"

#include <QProcess>
#include <QPushButton>
#include <QTest>

using namespace sim;

class TestSimLauncher : public QObject {
    Q_OBJECT

private slots:
    void screenOptionsParse();
    void badScreenOptionsAreRefusedWithReason();
    void glassShowsFrameUprightWithFlipAndBacklight();
    void clickOnGlassBecomesTouchAtThatPicturePoint();
    void programUnderLauncherSeesTheScreens();
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
}

void TestSimLauncher::badScreenOptionsAreRefusedWithReason()
{
    const char *bad[] = {"9in-telv", "6.8in-telv@1", "6.8in-telv@1.128", "6.8in-telv@0.4", "6.8in-telv@1.4x",
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
    p.start(QStringLiteral(TAVRIK_SIM_PATH),
            {QStringLiteral("--no-viewer"), QStringLiteral("--screen"), QStringLiteral("6.8in-telv@1.4:debug"),
             QStringLiteral("--screen"), QStringLiteral("4in-telv@2.7:boot"), QStringLiteral("--"),
             QStringLiteral(USBPROBE_PATH)});
    QVERIFY(p.waitForFinished(20000));
    const QString output = QString::fromUtf8(p.readAllStandardOutput());
    QCOMPARE(p.exitCode(), 0);
    QVERIFY2(output.contains(QStringLiteral("1.4 c872:1004 TAVRIK-6.8INRGB DEBUG,800x480,v0.18")), qPrintable(output));
    QVERIFY2(output.contains(QStringLiteral("2.7 1f3a:efe8")), qPrintable(output));
    // The boot-loader screen's identity is shown for setting up its firmware server.
    const QString identity = QString::fromStdString(makeTelvIdentity(2));
    QVERIFY2(output.contains(QStringLiteral("PHY(2.7) in its boot loader, screen identity ") + identity),
             qPrintable(output));
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
