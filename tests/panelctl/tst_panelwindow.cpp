// panelctl's window against simulated screens: finding, listing, opening
// and identifying screens, as a person sees it. Runs under umockdev-wrapper.
#include "bridge.h"
#include "heldscreen.h"
#include "modeltable.h"
#include "panelfixture.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>

using namespace sim;

namespace {

QString identOf(const ScreenModel &m)
{
    const auto id = m.deviceId();
    return screenlink::formatDeviceId(id.data());
}

} // namespace

class TestPanelWindow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void startsWithNoScreen();
    void monitorButtonShownOnlyWithFrameDriver();
    void screenPluggedInWhileRunningIsListedAndOpened();
    void everyPresetIdentifiesThroughTheScreen();
    void unplugCurrentOpensTheOtherThenNoDevice();
    void portsOneAndTwelveAreListedApart();
    void screensBehindHubsAreListedApartAndOpenedAsChosen();
    void screenAnotherProgramHoldsIsListedInUseAndNotOpened();
    void bootLoadersAreOpenedWithTheirMessage();
    void silentScreenReadsZeroIdAndKeepsFirmwareMinor();
    void listingAnotherScreenLeavesOpenGeometry();
    void scanOfListedScreensSendsThemNothing();
    void closingWindowClosesTheScreen();
    void windowClosedAtOnceStopsItsEventThread();
    void controlsFitTheWindowOnEveryPanel_data();
    void controlsFitTheWindowOnEveryPanel();
    void abbreviatedControlsHaveToolTips_data();
    void abbreviatedControlsHaveToolTips();
    void backlightShowsItsPercentAndReachesTheScreen_data();
    void backlightShowsItsPercentAndReachesTheScreen();

private:
    int attach(const char *preset, int bus = 3, std::function<void(ScreenModel &)> tweak = {})
    {
        return m_f->attach(preset, bus, std::move(tweak));
    }
    void newWindow() { m_f->newWindow(); }
    bool scanUntil(const std::function<bool()> &pred, int ms = 5000) { return m_f->scanUntil(pred, ms); }
    QComboBox *list() const { return m_f->list(); }
    QString status() const { return m_f->status(); }
    bool lampGreen() const { return m_f->lampGreen(); }
    Preview *display() const { return m_f->display(); }
    QWidget *child(const char *name) const { return m_f->child(name); }
    QStringList entries() const;
    // Each visible control that does not fit the window, with why; "; " between.
    QString misfits() const;

    std::unique_ptr<PanelFixture> m_f;
};

void TestPanelWindow::initTestCase()
{
    QVERIFY2(qEnvironmentVariableIsSet("LD_PRELOAD"), "run under umockdev-wrapper");
    m_f = std::make_unique<PanelFixture>();
}

void TestPanelWindow::init()
{
    // Connections are made by signature; a misspelt one only warns.
    QTest::failOnWarning(QRegularExpression(QStringLiteral("QObject::connect")));
    newWindow();
}

void TestPanelWindow::cleanup()
{
    m_f->clear();
}

QStringList TestPanelWindow::entries() const
{
    QStringList out;
    for (int i = 0; i < list()->count(); ++i)
        out << list()->itemText(i);
    return out;
}

void TestPanelWindow::startsWithNoScreen()
{
    QCOMPARE(m_f->window->windowTitle(), QStringLiteral("Tavrik Screen Test"));
    QCOMPARE(status(), QStringLiteral("No Device."));
    QCOMPARE(list()->count(), 0);
    QVERIFY(!lampGreen());
    QVERIFY(!child("pbVFlip")->isEnabled());
    QVERIFY(!child("pbHFlip")->isEnabled());
    QVERIFY(!child("pbTest")->isVisible());
    QVERIFY(!child("pbLog")->isVisible());
    QVERIFY(!child("pgUpgrade")->isVisible());
    QVERIFY(child("pbUpgrade")->isVisible());
    QCOMPARE(display()->text(), QStringLiteral("Drag and Drop Picture Here"));
    QCOMPARE(display()->size(), QSize(854, 800));
    QVERIFY(!m_f->screen());
    QCOMPARE(m_f->session().opened().kind, screenlink::DeviceKind::Other);
    // A scan period later nothing has changed: no selection ran.
    QTest::qWait(3200);
    QCOMPARE(status(), QStringLiteral("No Device."));
    QCOMPARE(list()->count(), 0);
}

void TestPanelWindow::monitorButtonShownOnlyWithFrameDriver()
{
    QVERIFY(!child("pbMonitor")->isVisible());
    // Only a file is a driver: a folder of its name is not.
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("telvdrv")));
    m_f->window->setProgramDir(dir.path());
    QVERIFY(!child("pbMonitor")->isVisible());
    QVERIFY(QDir(dir.path()).rmdir(QStringLiteral("telvdrv")));
    QFile driver(dir.filePath(QStringLiteral("telvdrv")));
    QVERIFY(driver.open(QIODevice::WriteOnly));
    driver.close();
    m_f->window->setProgramDir(dir.path());
    QVERIFY(child("pbMonitor")->isVisible());
    QVERIFY(!m_f->window->findChild<QPushButton *>(QStringLiteral("pbMonitor"))->isChecked());
}

void TestPanelWindow::screenPluggedInWhileRunningIsListedAndOpened()
{
    const int slot = attach("4in-telv");
    const auto model = m_f->bus->model(slot);
    // No help from the test: the window's own 3-second scan finds it.
    QTRY_COMPARE_WITH_TIMEOUT(list()->count(), 1, 4500);
    const QString id = identOf(*model);
    const QString port = QStringLiteral("PHY(3.%1)").arg(m_f->bus->portNumber(slot));
    QCOMPARE(list()->itemText(0), QStringLiteral("T113-4D0,") + id + QLatin1Char(',') + port);
    QTRY_VERIFY(m_f->screen() != nullptr);
    const QString ident = QString::fromStdString(model->preset().ident);
    QCOMPARE(status(), QStringLiteral("TELV ") + ident + QStringLiteral(",4.0IN, ") + id);
    QCOMPARE(m_f->window->windowTitle(), QStringLiteral("ID: ") + id);
    QVERIFY(lampGreen());
    QCOMPARE(display()->size(), QSize(800, 480));
    QCOMPARE(m_f->session().opened().kind, screenlink::DeviceKind::RunningScreen);
    QCOMPARE(m_f->session().firmwareMinor(), 18);
    const auto open = m_f->screen();
    QVERIFY(open && open->touchActive());
    QVERIFY(!child("pbLog")->isVisible());
}

void TestPanelWindow::everyPresetIdentifiesThroughTheScreen()
{
    // The window's record follows the table as a fresh record does, given
    // the same screens in the same order ("unchanged" cells included).
    screenlink::ScreenGeometry expected;
    int previous = -1;
    for (const Preset &p : presets()) {
        if (previous >= 0) {
            m_f->bus->unplug(previous);
            QVERIFY(scanUntil([&] { return list()->count() == 0; }));
        }
        const int slot = attach(p.name.c_str(), 4, [](ScreenModel &m) { m.setIdent(debugIdent(m.preset().ident)); });
        previous = slot;
        QVERIFY2(scanUntil([&] { return m_f->screen() != nullptr; }), p.name.c_str());
        const auto model = m_f->bus->model(slot);
        const QString text = screenlink::applyModelTable(expected, p.sizeCode, p.variantCode,
                                                         QString::fromStdString(debugIdent(p.ident)));
        const screenlink::ScreenGeometry &g = m_f->session().geometry();
        QVERIFY2(status() == text + QStringLiteral(", ") + identOf(*model), qPrintable(status()));
        QCOMPARE(g.sizeCode, p.sizeCode);
        QCOMPARE(g.variantCode, p.variantCode);
        QCOMPARE(QSize(g.panelWidth, g.panelHeight), QSize(expected.panelWidth, expected.panelHeight));
        QCOMPARE(g.rotationCode, expected.rotationCode);
        QCOMPARE(g.telvFamily, expected.telvFamily);
        QCOMPARE(g.flipAllowed, expected.flipAllowed);
        QCOMPARE(g.flipDefault, expected.flipDefault);
        QCOMPARE(g.modelFirmwareName, expected.modelFirmwareName);
        // Known panels are the simulator's own panel sizes.
        if (p.name != "unknown")
            QCOMPARE(QSize(g.panelWidth, g.panelHeight), QSize(p.panelWidth, p.panelHeight));
        QCOMPARE(display()->size(), g.pictureSize());
        // Every preset here reports a debug firmware.
        QVERIFY2(child("pbLog")->isVisible() == text.contains("DEBUG"), p.name.c_str());
    }
}

void TestPanelWindow::unplugCurrentOpensTheOtherThenNoDevice()
{
    const int a = attach("6.8in-telv");
    const int b = attach("7in-telv");
    QVERIFY(scanUntil([&] { return list()->count() == 2 && m_f->screen(); }));
    const QString currentPort = list()->currentText().section(',', 2, 2);
    const int current = currentPort == QStringLiteral("PHY(3.%1)").arg(m_f->bus->portNumber(a)) ? a : b;
    const int other = current == a ? b : a;

    m_f->bus->unplug(current);
    QTRY_COMPARE_WITH_TIMEOUT(list()->count(), 1, 4500);
    QTRY_VERIFY(m_f->screen() != nullptr);
    QVERIFY(list()->currentText().endsWith(QStringLiteral("PHY(3.%1)").arg(m_f->bus->portNumber(other))));
    QVERIFY(status().endsWith(identOf(*m_f->bus->model(other))));

    display()->addTouch(QPoint(10, 20), 1);
    QCOMPARE(display()->touchPoints().size(), 1);
    m_f->bus->unplug(other);
    QTRY_COMPARE_WITH_TIMEOUT(list()->count(), 0, 4500);
    // The selection's outcome comes after the list.
    QTRY_COMPARE(status(), QStringLiteral("No device."));
    QCOMPARE(m_f->window->windowTitle(), QStringLiteral("Tavrik Screen Test - v55n"));
    QVERIFY(!lampGreen());
    QCOMPARE(display()->text(), QStringLiteral("Drag and Drop Picture Here"));
    QVERIFY(display()->touchPoints().isEmpty());
    QVERIFY(!m_f->screen());
    QCOMPARE(m_f->session().opened().kind, screenlink::DeviceKind::Other);
}

void TestPanelWindow::portsOneAndTwelveAreListedApart()
{
    auto one = std::make_shared<ScreenModel>(*findPreset("4in-k2t-y40"), 1);
    auto twelve = std::make_shared<ScreenModel>(*findPreset("4.3in-telv"), 12);
    m_f->slots_.push_back(m_f->bus->attach(one, 5, 1));
    m_f->slots_.push_back(m_f->bus->attach(twelve, 5, 12));
    const int portOne = m_f->slots_[m_f->slots_.size() - 2];
    QVERIFY(scanUntil([&] { return list()->count() == 2; }));
    QTest::qWait(100);
    QVERIFY(m_f->scanOnce());
    const QStringList listed = entries();
    QCOMPARE(listed.size(), 2);
    QCOMPARE(listed.filter(QStringLiteral(",PHY(5.1)")).size(), 1);
    QCOMPARE(listed.filter(QStringLiteral(",PHY(5.12)")).size(), 1);
    // The older family's text has three fields: listed by its panel label.
    QVERIFY(listed.contains(QStringLiteral("PANEL-Y40,") + identOf(*one) + QStringLiteral(",PHY(5.1)")));
    const QString twelveEntry = listed.filter(QStringLiteral("PHY(5.12)")).first();

    m_f->bus->unplug(portOne);
    QVERIFY(scanUntil([&] { return list()->count() == 1; }));
    QCOMPARE(entries(), QStringList{twelveEntry});
}

void TestPanelWindow::screensBehindHubsAreListedApartAndOpenedAsChosen()
{
    // Port 1 of two hubs on one bus: one last port number, two screens, of
    // which only the first can flip.
    auto a = std::make_shared<ScreenModel>(*findPreset("6.8in-telv"), 0x401);
    auto b = std::make_shared<ScreenModel>(*findPreset("6.8in-k2t"), 0x402);
    m_f->slots_.push_back(m_f->bus->attach(a, 8, std::vector<int>{2, 1}));
    m_f->slots_.push_back(m_f->bus->attach(b, 8, std::vector<int>{3, 1}));
    QVERIFY(scanUntil([&] { return list()->count() == 2 && m_f->screen(); }));
    const QStringList listed = entries();
    const int first = listed.indexOf(QStringLiteral("T113-6D8,") + identOf(*a) + QStringLiteral(",PHY(8.2.1)"));
    const int second = listed.indexOf(QStringLiteral("PANEL-W68A,") + identOf(*b) + QStringLiteral(",PHY(8.3.1)"));
    QVERIFY2(first >= 0 && second >= 0, qPrintable(listed.join(QLatin1Char('|'))));
    auto *vFlip = m_f->child<QPushButton>("pbVFlip");
    for (const auto &step : {std::pair{first, a}, std::pair{second, b}, std::pair{first, a}}) {
        const std::shared_ptr<ScreenModel> &model = step.second;
        list()->setCurrentIndex(step.first);
        QTRY_COMPARE(m_f->window->windowTitle(), QStringLiteral("ID: ") + identOf(*model));
        QVERIFY(status().endsWith(identOf(*model)));
        // The picture follows; the flip buttons and the flip are the panel's own.
        QTRY_VERIFY_WITH_TIMEOUT(model->frameSerial() >= 1, 2500);
        QCOMPARE(vFlip->isEnabled(), model == a);
        QCOMPARE(model->flip().has_value(), model == a);
    }
}

void TestPanelWindow::screenAnotherProgramHoldsIsListedInUseAndNotOpened()
{
    const int slot = attach("6.8in-telv", 9);
    const auto model = m_f->bus->model(slot);
    // Another program has it open, as tavrikctl does during an upgrade.
    const auto context = std::make_shared<screenlink::UsbContext>();
    std::shared_ptr<screenlink::Screen> held;
    QTRY_VERIFY((held = held ? held : holdScreen(context, 9)) != nullptr);
    model->clearRequests();
    QVERIFY(scanUntil([&] { return list()->count() == 1 && status() == QStringLiteral("This screen is in use by another program."); }));
    QCOMPARE(list()->itemText(0), QStringLiteral("in use,-,PHY(9.%1)").arg(m_f->bus->portNumber(slot)));
    QVERIFY(!m_f->screen());
    QVERIFY(model->requests().empty());
    // Let go: the next scans list it by name and open it.
    held.reset();
    QVERIFY(scanUntil([&] { return m_f->screen() != nullptr; }));
    QCOMPARE(m_f->window->windowTitle(), QStringLiteral("ID: ") + identOf(*model));
}

void TestPanelWindow::bootLoadersAreOpenedWithTheirMessage()
{
    attach("6.8in-telv", 6, [](ScreenModel &m) { m.setMode(Mode::TelvBootLoader); });
    QVERIFY(scanUntil([&] { return m_f->screen() != nullptr; }));
    QVERIFY(QRegularExpression(QStringLiteral("^\\d+,TELV,PHY\\(6\\.\\d+\\)$")).match(list()->itemText(0)).hasMatch());
    QCOMPARE(status(), QStringLiteral("Connected, click \"Upgrade\" to write TELV firmware."));
    QVERIFY(lampGreen());
    QCOMPARE(m_f->session().opened().kind, screenlink::DeviceKind::TelvBootLoader);
    const auto open = m_f->screen();
    QVERIFY(open && !open->touchActive());

    m_f->clear();
    newWindow();
    attach("5in-k2t-m50a", 6, [](ScreenModel &m) { m.setMode(Mode::K2tBootLoader); });
    QVERIFY(scanUntil([&] { return m_f->screen() != nullptr; }));
    QVERIFY(list()->itemText(0).contains(QStringLiteral(",K2T,PHY(6.")));
    QCOMPARE(status(), QStringLiteral("Connected, click \"Upgrade\" to write K2T/K5TX firmware."));
    QCOMPARE(m_f->session().opened().kind, screenlink::DeviceKind::K2tBootLoader);
}

void TestPanelWindow::silentScreenReadsZeroIdAndKeepsFirmwareMinor()
{
    const int first = attach("6.8in-telv", 7, [](ScreenModel &m) { m.setIdent("TAVRIK-6.8INRGB,v0.17,2023-01-01,X"); });
    QVERIFY(scanUntil([&] { return m_f->screen() != nullptr; }));
    QCOMPARE(m_f->session().firmwareMinor(), 17);

    Faults silent;
    silent.silent = true;
    attach("4in-telv", 7, [&](ScreenModel &m) { m.setFaults(silent); });
    QVERIFY(scanUntil([&] { return list()->count() == 2; }, 8000));
    QVERIFY(entries().contains(QStringLiteral("Unknown Type,0000-0000-00000000,PHY(7.%1)").arg(m_f->nextPort - 1)));

    m_f->bus->unplug(first);
    QVERIFY(scanUntil([&] { return list()->count() == 1 && m_f->screen(); }, 8000));
    QCOMPARE(status(), QStringLiteral("Unknown Size, 480x800x16?, Unknown Type, 0000-0000-00000000"));
    QCOMPARE(m_f->session().firmwareMinor(), 17); // no "v0." in the text: unchanged
}

void TestPanelWindow::listingAnotherScreenLeavesOpenGeometry()
{
    attach("4in-telv", 8);
    QVERIFY(scanUntil([&] { return m_f->screen() != nullptr; }));
    attach("10in-telv", 8);
    QVERIFY(scanUntil([&] { return list()->count() == 2; }));
    const screenlink::ScreenGeometry &g = m_f->session().geometry();
    QCOMPARE(g.sizeCode, 4u);
    QCOMPARE(QSize(g.panelWidth, g.panelHeight), QSize(480, 800));
    QCOMPARE(g.rotationCode, 2);
    QCOMPARE(g.flipAllowed, 3);
    QCOMPARE(g.modelFirmwareName, QStringLiteral("TELV/TELV.4d0.TAVRIK.bin"));
    QCOMPARE(display()->size(), QSize(800, 480));
}

void TestPanelWindow::scanOfListedScreensSendsThemNothing()
{
    const int a = attach("6.8in-telv", 9);
    const int b = attach("5in-telv", 9);
    QVERIFY(scanUntil([&] { return list()->count() == 2 && m_f->screen(); }));
    QTest::qWait(1200); // past the first picture after opening
    m_f->bus->model(a)->clearRequests();
    m_f->bus->model(b)->clearRequests();
    for (int i = 0; i < 3; ++i)
        QVERIFY(m_f->scanOnce());
    QCOMPARE(m_f->bus->model(a)->requests().size(), size_t(0));
    QCOMPARE(m_f->bus->model(b)->requests().size(), size_t(0));
    QCOMPARE(list()->count(), 2);
}

void TestPanelWindow::closingWindowClosesTheScreen()
{
    attach("6.8in-telv", 10);
    QVERIFY(scanUntil([&] { return m_f->screen() != nullptr; }));
    std::weak_ptr<screenlink::Screen> screen = m_f->screen();
    {
        const auto held = screen.lock();
        QVERIFY(held && held->touchActive());
    }
    QElapsedTimer t;
    t.start();
    m_f->window.reset();
    QVERIFY(t.elapsed() < 2000);
    QVERIFY(screen.expired());
}

void TestPanelWindow::windowClosedAtOnceStopsItsEventThread()
{
    // A stop asked for before the event loop has started is not lost.
    for (int i = 0; i < 5; ++i) {
        QElapsedTimer t;
        t.start();
        { MainWindow w; }
        QVERIFY(t.elapsed() < 1000);
    }
}

// Cut by the window's edge, hidden under the status bar, too narrow for its
// text or laid over another.
QString TestPanelWindow::misfits() const
{
    const QMainWindow *window = m_f->window.get();
    const QRect inside = window->centralWidget()->geometry();
    QStringList out;
    QList<std::pair<QString, QRect>> placed;
    for (const QWidget *w : window->centralWidget()->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        if (!w->isVisible())
            continue;
        const QString name = w->objectName();
        const QRect r(w->mapTo(window, QPoint(0, 0)), w->size());
        if (!window->rect().contains(r) || !inside.contains(r))
            out << QStringLiteral("%1 at %2,%3 %4x%5 is cut in a %6x%7 window")
                       .arg(name).arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height())
                       .arg(window->width()).arg(window->height());
        const QString text = w->property("text").toString();
        if (w->fontMetrics().horizontalAdvance(text) > w->width() - 4)
            out << name + QStringLiteral(" is too narrow for \"%1\"").arg(text);
        for (const auto &[other, at] : std::as_const(placed))
            if (at.intersects(r))
                out << name + QStringLiteral(" overlaps ") + other;
        placed.append({name, r});
    }
    return out.join(QStringLiteral("; "));
}

void TestPanelWindow::controlsFitTheWindowOnEveryPanel_data()
{
    QTest::addColumn<QString>("preset");
    QTest::newRow("no screen") << QString();
    QTest::newRow("wide 800x480") << QStringLiteral("6.8in-telv");
    QTest::newRow("wide 854x480") << QStringLiteral("5in-telv");
    QTest::newRow("wide 1024x600") << QStringLiteral("7in-telv");
    QTest::newRow("portrait 480x800 turned") << QStringLiteral("4in-telv");
    QTest::newRow("long 400x1280 turned") << QStringLiteral("7.8in-long-telv");
    QTest::newRow("square 480x480") << QStringLiteral("4in-square-telv");
    QTest::newRow("round 800x800") << QStringLiteral("3.4in-round-telv");
}

void TestPanelWindow::controlsFitTheWindowOnEveryPanel()
{
    QFETCH(QString, preset);
    // Every control shown: M with a frame driver, LOG with debug firmware,
    // the progress bar as an upgrade shows it.
    QTemporaryDir dir;
    QFile driver(dir.filePath(QStringLiteral("telvdrv")));
    QVERIFY(driver.open(QIODevice::WriteOnly));
    driver.close();
    m_f->window->setProgramDir(dir.path());
    child("pgUpgrade")->show();
    if (!preset.isEmpty()) {
        attach(qPrintable(preset), 11, [](ScreenModel &m) { m.setIdent(debugIdent(m.preset().ident)); });
        QVERIFY(scanUntil([&] { return m_f->screen() != nullptr; }));
        QTRY_COMPARE(display()->size(), m_f->session().pictureSize());
        QVERIFY(child("pbLog")->isVisible());
    }
    QVERIFY(child("pbMonitor")->isVisible());
    QTRY_COMPARE(misfits(), QString());
}

void TestPanelWindow::abbreviatedControlsHaveToolTips_data()
{
    QTest::addColumn<QString>("name");
    for (const char *name : {"pbMonitor", "pbVFlip", "pbHFlip", "pbClean", "pbLog", "pbLEDTest", "pbTest", "pbRed",
                             "pbGreen", "pbBlue", "pbWhite", "pbBlack", "barBacklight", "lbBacklight", "lbStatusLED"})
        QTest::newRow(name) << QString::fromLatin1(name);
}

void TestPanelWindow::abbreviatedControlsHaveToolTips()
{
    QFETCH(QString, name);
    const QWidget *control = child(qPrintable(name));
    QVERIFY(control);
    const QString tip = control->toolTip();
    QVERIFY(!tip.isEmpty());
    QVERIFY(tip != control->property("text").toString());
}

void TestPanelWindow::backlightShowsItsPercentAndReachesTheScreen_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("shown");
    // tavrikctl's percentages: 100 % is 255, 75 % is 191.
    QTest::newRow("dark") << 0 << QStringLiteral("0 %");
    QTest::newRow("lowest lit") << 2 << QStringLiteral("1 %");
    QTest::newRow("half") << 128 << QStringLiteral("50 %");
    QTest::newRow("three quarters") << 191 << QStringLiteral("75 %");
    QTest::newRow("full") << 255 << QStringLiteral("100 %");
}

void TestPanelWindow::backlightShowsItsPercentAndReachesTheScreen()
{
    QFETCH(int, level);
    QFETCH(QString, shown);
    const auto model = m_f->open("6.8in-telv", 12);
    QVERIFY(model);
    auto *slider = m_f->child<QSlider>("barBacklight");
    const auto *value = m_f->child<QLabel>("lbBacklight");
    QVERIFY(slider && value);
    QCOMPARE(value->text(), QStringLiteral("100 %"));
    QTest::keyClick(slider, Qt::Key_Home);
    QCOMPARE(value->text(), QStringLiteral("0 %"));
    slider->setValue(level);
    QCOMPARE(value->text(), shown);
    QTRY_COMPARE(model->backlight().value_or(-1), level);
}

QTEST_MAIN(TestPanelWindow)
#include "tst_panelwindow.moc"
