// spanmon's window as a person uses it, against simulated screens through
// the real libusb: listing by device ID, Start and Stop, and the refusals.
// Listing and starting run on the chooser's own thread, so their outcome is
// waited for. The frame driver next to the test is the stand-in that
// publishes a known picture. Runs under umockdev-wrapper.
#include "boxrecorder.h"
#include "bridge.h"
#include "devicelist.h"
#include "frameshare.h"
#include "heldscreen.h"
#include "mainwindow.h"
#include "remembered.h"
#include "shownscreen.h"
#include "monitortestsupport.h"
#include "usb/virtualbus.h"
#include "screen.h"
#include "touchchannel.h"
#include "usbhandles.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QStandardItemModel>
#include <QCheckBox>
#include <QFile>
#include <QListWidget>
#include <QTemporaryDir>
#include <QTest>

using monitortest::Bytes;

namespace {

const std::string kSizedIdent = "TAVRIK-4INRGB,480x800,2024-05-14,T113-4D0";

QString idOf(const sim::ScreenModel &model)
{
    const auto id = model.deviceId();
    return screenlink::formatDeviceId(id.data());
}

// The stand-in driver's picture as the screen receives it.
Bytes mirroredFrame(int width, int height)
{
    const int stride = width * 4 + 32;
    const Bytes picture = monitortest::pattern(width, height, stride, 5);
    return monitortest::expectedFrame(picture.data(), stride, width, height);
}

// The glass shows the stand-in driver's picture upright, at its size.
bool showsDriverPicture(const sim::ScreenModel &m)
{
    int w = 0;
    int h = 0;
    const std::vector<uint16_t> glass = m.shownPicture(&w, &h);
    return monitortest::showsOnGlass(glass, mirroredFrame(w, h));
}

// A frame of a w x h picture turned a quarter clockwise, turned back.
std::vector<uint16_t> quarterTurnedBack(const Bytes &frame, int w, int h)
{
    std::vector<uint16_t> picture;
    if (frame.size() != size_t(w) * size_t(h) * 2)
        return picture;
    picture.resize(size_t(w) * size_t(h));
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const size_t at = (size_t(x) * size_t(h) + size_t(h - 1 - y)) * 2;
            picture[size_t(y) * size_t(w) + size_t(x)] = uint16_t(frame[at] | frame[at + 1] << 8);
        }
    }
    return picture;
}

// Whether libusb lists a running screen at this bus and address.
bool runningScreenAt(int bus, int address)
{
    screenlink::UsbContext ctx;
    screenlink::DeviceList devices(ctx.get());
    for (libusb_device *d : devices) {
        libusb_device_descriptor desc{};
        if (libusb_get_bus_number(d) == bus && libusb_get_device_address(d) == address
            && libusb_get_device_descriptor(d, &desc) == 0
            && screenlink::deviceKind(desc.idVendor, desc.idProduct) == screenlink::DeviceKind::RunningScreen)
            return true;
    }
    return false;
}

} // namespace

class TestSpanmonWindow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void formIsTheFixedChooser();
    void listsRunningScreensByIdInBusOrder();
    void startWithEmptyListSaysNoValidScreen();
    void startShowsEachChosenScreenAndStopEndsOnlyItsOwn();
    void startAfterTheChosenScreenLeftSaysNotConnected();
    void screenWithoutSizeIsRefusedUntilOneReportedIt();
    void unplugWhileMirroringKeepsStopUntilPressed();
    void silentOrLyingScreenWhileMirroring_data();
    void silentOrLyingScreenWhileMirroring();
    void twoScreensWithOneIdMirrorTheFirstInBusOrder();
    void screenAnotherProgramHoldsIsListedInUseAndSentNothing();
    void closingTheWindowWhileMirroringStopsAndBlanks();
    void eachScreenKeepsItsModeAndWhetherItShowsByItself();
    void desktopAndTouchesAreUprightOnEveryPanelKind_data();
    void desktopAndTouchesAreUprightOnEveryPanelKind();

private:
    std::shared_ptr<sim::ScreenModel> attach(const std::string &ident, uint32_t seed,
                                             sim::Mode mode = sim::Mode::Running);
    std::shared_ptr<sim::ScreenModel> attachPreset(const QString &preset, uint32_t seed);
    void newWindow();
    void refresh();
    QComboBox *list() const { return m_window->findChild<QComboBox *>(QStringLiteral("cbList")); }
    QPushButton *doButton() const { return m_window->findChild<QPushButton *>(QStringLiteral("pbDo")); }
    QStringList showingList() const
    {
        QStringList rows;
        const auto *shown = m_window->findChild<QListWidget *>(QStringLiteral("lwShowing"));
        for (int i = 0; i < shown->count(); ++i)
            rows << shown->item(i)->text();
        return rows;
    }
    QPushButton *refreshButton() const { return m_window->findChild<QPushButton *>(QStringLiteral("pbRefresh")); }

    std::unique_ptr<sim::VirtualBus> m_bus;
    QTemporaryDir m_config;
    std::vector<int> m_slots;
    int m_nextPort = 1;
    std::unique_ptr<MainWindow> m_window;
    BoxRecorder m_boxes;
};

void TestSpanmonWindow::initTestCase()
{
    QVERIFY2(qEnvironmentVariableIsSet("LD_PRELOAD"), "run under umockdev-wrapper");
    m_bus = std::make_unique<sim::VirtualBus>();
    // The window reads and writes the user's monitor.conf: a private one.
    QVERIFY(m_config.isValid());
    qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
    qunsetenv("TAVRIK_MONITOR_MODE");
}

void TestSpanmonWindow::init()
{
    m_boxes.clear();
}

void TestSpanmonWindow::cleanup()
{
    m_window.reset();
    for (int slot : m_slots)
        if (m_bus->plugged(slot))
            m_bus->unplug(slot);
    m_slots.clear();
}

std::shared_ptr<sim::ScreenModel> TestSpanmonWindow::attach(const std::string &ident, uint32_t seed, sim::Mode mode)
{
    auto model = std::make_shared<sim::ScreenModel>(*sim::findPreset("4in-telv"), seed);
    model->setIdent(ident);
    model->setMode(mode);
    m_slots.push_back(m_bus->attach(model, 2, m_nextPort++));
    return model;
}

std::shared_ptr<sim::ScreenModel> TestSpanmonWindow::attachPreset(const QString &preset, uint32_t seed)
{
    const sim::Preset *p = sim::findPreset(preset.toStdString());
    if (!p)
        return nullptr;
    auto model = std::make_shared<sim::ScreenModel>(*p, seed);
    m_slots.push_back(m_bus->attach(model, 2, m_nextPort++));
    return model;
}

void TestSpanmonWindow::newWindow()
{
    m_window = std::make_unique<MainWindow>();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void TestSpanmonWindow::refresh()
{
    refreshButton()->click();
}

void TestSpanmonWindow::formIsTheFixedChooser()
{
    newWindow();
    QCOMPARE(m_window->objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(m_window->windowTitle(), QStringLiteral("Tavrik Extend Monitor"));
    QCOMPARE(m_window->size(), QSize(400, 367));
    QCOMPARE(m_window->minimumSize(), QSize(400, 367));
    QCOMPARE(m_window->maximumSize(), QSize(400, 367));
    QCOMPARE(m_window->sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(m_window->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    auto *label = m_window->findChild<QLabel *>(QStringLiteral("label"));
    QVERIFY(label);
    QCOMPARE(label->text(), QStringLiteral("Choose one Tavrik screen by ID"));
    QCOMPARE(label->geometry(), QRect(10, 5, 381, 21));
    QCOMPARE(list()->geometry(), QRect(10, 30, 381, 25));
    QCOMPARE(refreshButton()->geometry(), QRect(70, 65, 89, 25));
    QCOMPARE(refreshButton()->text(), QStringLiteral("Refresh"));
    QCOMPARE(doButton()->geometry(), QRect(240, 65, 89, 25));
    QCOMPARE(doButton()->text(), QStringLiteral("Start"));
    // Slots in meta-object order.
    const QMetaObject *mo = m_window->metaObject();
    QCOMPARE(mo->method(mo->methodOffset()).name(), QByteArray("onRefresh"));
    QCOMPARE(mo->method(mo->methodOffset() + 1).name(), QByteArray("onMonitor"));
}

void TestSpanmonWindow::listsRunningScreensByIdInBusOrder()
{
    const auto first = attach(kSizedIdent, 0x101);
    const auto second = attach(kSizedIdent, 0x102);
    attach(kSizedIdent, 0x103, sim::Mode::TelvBootLoader); // not a running screen
    newWindow();
    // The first listing comes by itself once the event loop runs.
    QTRY_COMPARE(list()->count(), 2);
    QStringList listed;
    for (int i = 0; i < list()->count(); ++i)
        listed << list()->itemText(i);
    QStringList ids{idOf(*first), idOf(*second)};
    QCOMPARE(listed.size(), 2);
    QVERIFY(listed.contains(ids[0]) && listed.contains(ids[1]));
    // In libusb's list order.
    screenlink::UsbContext ctx;
    screenlink::DeviceList devices(ctx.get());
    QStringList byBus;
    for (libusb_device *d : devices) {
        const int port = libusb_get_port_number(d);
        if (port == 1)
            byBus << ids[0];
        else if (port == 2)
            byBus << ids[1];
    }
    QCOMPARE(listed, byBus);
    QCOMPARE(idOf(*first).size(), 18);

    m_bus->unplug(m_slots[0]);
    refresh();
    QTRY_COMPARE(list()->count(), 1);
    QCOMPARE(list()->itemText(0), idOf(*second));
    QVERIFY(m_boxes.shown().isEmpty());
}

void TestSpanmonWindow::startWithEmptyListSaysNoValidScreen()
{
    newWindow();
    QTest::qWait(100);
    QCOMPARE(list()->count(), 0);
    doButton()->click();
    QCOMPARE(m_boxes.shown(), QStringList{QStringLiteral("Error|No valid screen.")});
    QCOMPARE(doButton()->text(), QStringLiteral("Start"));
    QVERIFY(refreshButton()->isEnabled());
    QVERIFY(!m_window->monitorRunning());
}

void TestSpanmonWindow::startShowsEachChosenScreenAndStopEndsOnlyItsOwn()
{
    const auto other = attach(kSizedIdent, 0x111);
    const auto chosen = attach(kSizedIdent, 0x112);
    newWindow();
    QTRY_COMPARE(list()->count(), 2);
    list()->setCurrentIndex(list()->findText(idOf(*chosen)));
    const uint64_t otherFrames = other->frameSerial();
    other->clearRequests();

    doButton()->click();
    QTRY_COMPARE(doButton()->text(), QStringLiteral("Stop"));
    QVERIFY(m_boxes.shown().isEmpty());
    QVERIFY(m_window->monitorRunning());
    const QString chosenPort =
        QStringLiteral("PHY(%1.%2)").arg(m_bus->busNumber(m_slots[1])).arg(m_bus->portNumber(m_slots[1]));
    QCOMPARE(showingList(), QStringList{idOf(*chosen) + QStringLiteral(" at ") + chosenPort});
    // 480x800 from the information string of a panel turned a quarter: the
    // share asks for the landscape desktop at 36, and the glass shows it
    // the right way up.
    QCOMPARE(m_window->screenSize(), QSize(800, 480));
    auto share = monitor::openFrameShare(monitor::FrameShareNames::forScreen(session::screenKey(chosenPort)));
    QVERIFY(share);
    QTRY_COMPARE(share->width(), 800);
    QCOMPARE(share->height(), 480);
    QCOMPARE(share->rate(), 36);
    QTRY_VERIFY_WITH_TIMEOUT(chosen->frameSerial() >= 3, 5000);
    QVERIFY(showsDriverPicture(*chosen));
    QCOMPARE(other->frameSerial(), otherFrames);
    QCOMPARE(other->frameStats().headers, uint64_t(0));
    // Only the driver this program started: others on the machine are
    // none of its business.
    QTRY_VERIFY(!monitortest::childrenNamed(QStringLiteral("telvdrv")).isEmpty());
    const QList<qint64> drivers = monitortest::childrenNamed(QStringLiteral("telvdrv"));

    // The other screen too, while the first goes on: a driver of its own.
    refreshButton()->click();
    QTRY_COMPARE(list()->findText(idOf(*chosen)) >= 0 && list()->findText(idOf(*other)) >= 0, true);
    list()->setCurrentIndex(list()->findText(idOf(*other)));
    QCOMPARE(doButton()->text(), QStringLiteral("Start"));
    doButton()->click();
    QTRY_COMPARE(doButton()->text(), QStringLiteral("Stop"));
    QTRY_VERIFY_WITH_TIMEOUT(other->frameSerial() >= otherFrames + 3, 5000);
    QTRY_COMPARE(monitortest::childrenNamed(QStringLiteral("telvdrv")).size(), 2);
    QCOMPARE(showingList().size(), 2);

    list()->setCurrentIndex(list()->findText(idOf(*chosen)));
    QCOMPARE(doButton()->text(), QStringLiteral("Stop"));
    other->clearRequests();
    doButton()->click();
    QCOMPARE(doButton()->text(), QStringLiteral("Start"));
    QVERIFY(refreshButton()->isEnabled());
    // Stop waited for the thread: nothing of it is left to race the blank.
    for (qint64 pid : drivers)
        QVERIFY(monitortest::waitGone(pid));
    QVERIFY(m_window->monitorRunning());
    const uint64_t otherNow = other->frameSerial();
    QTRY_VERIFY_WITH_TIMEOUT(other->frameSerial() >= otherNow + 2, 5000);
    QCOMPARE(showingList().size(), 1);
    // The last thing the screen got: the header for 768000 bytes, then zeros.
    const auto log = chosen->requests();
    QVERIFY(log.size() >= 2);
    QCOMPARE(log[log.size() - 2].payload, (Bytes{0x00, 0x2C, 0x00, 0xB8, 0x0B, 0x00}));
    QCOMPARE(log.back().bulkLength, uint32_t(768000));
    const Bytes last = chosen->lastFrame();
    QCOMPARE(last.size(), size_t(768000));
    QVERIFY(std::all_of(last.begin(), last.end(), [](uint8_t b) { return b == 0; }));
    QVERIFY(m_boxes.shown().isEmpty());
    list()->setCurrentIndex(list()->findText(idOf(*other)));
    doButton()->click();
    QVERIFY(!m_window->monitorRunning());
    QCOMPARE(showingList(), QStringList{QStringLiteral("None")});
}

void TestSpanmonWindow::startAfterTheChosenScreenLeftSaysNotConnected()
{
    const auto model = attach(kSizedIdent, 0x121);
    newWindow();
    QTRY_COMPARE(list()->count(), 1);
    m_bus->unplug(m_slots[0]);
    doButton()->click();
    QTRY_COMPARE(m_boxes.shown(), QStringList{QStringLiteral("Error|Screen is not connected.")});
    QCOMPARE(doButton()->text(), QStringLiteral("Start"));
    QVERIFY(refreshButton()->isEnabled());
    QVERIFY(!m_window->monitorRunning());
    // Back again but answering with another ID: still not the chosen one.
    model->setConfig(0x1FF0, {1, 2, 3, 4, 5, 6, 7, 8});
    m_bus->plug(m_slots[0]);
    QTRY_VERIFY(runningScreenAt(m_bus->busNumber(m_slots[0]), m_bus->deviceAddress(m_slots[0])));
    m_boxes.clear();
    doButton()->click();
    QTRY_COMPARE(m_boxes.shown(), QStringList{QStringLiteral("Error|Screen is not connected.")});
    QCOMPARE(doButton()->text(), QStringLiteral("Start"));
    QVERIFY(!m_window->monitorRunning());
    QCOMPARE(model->frameStats().headers, uint64_t(0));
}

void TestSpanmonWindow::screenWithoutSizeIsRefusedUntilOneReportedIt()
{
    // Firmware whose string has a version as its second field.
    const auto plain = attach("TAVRIK-4INRGB,v0.18,2024-05-14,T113-4D0", 0x131);
    const auto bad = attach("TAVRIK-4INRGB,abcx800,2024-05-14,T113-4D0", 0x132);
    const auto sized = attach("TAVRIK-4INRGB,320x240,2024-05-14,T113-4D0", 0x133);
    newWindow();
    QTRY_COMPARE(list()->count(), 3);

    for (const auto &model : {plain, bad}) {
        m_boxes.clear();
        list()->setCurrentIndex(list()->findText(idOf(*model)));
        doButton()->click();
        QTRY_COMPARE(m_boxes.shown(), QStringList{QStringLiteral("Error|The screen did not report a usable size.")});
        QCOMPARE(doButton()->text(), QStringLiteral("Start"));
        QVERIFY(refreshButton()->isEnabled());
        QVERIFY(!m_window->monitorRunning());
        QCOMPARE(model->frameStats().headers, uint64_t(0));
    }
    QCOMPARE(m_window->screenSize(), QSize(0, 800)); // "abc" reads 0

    m_boxes.clear();
    list()->setCurrentIndex(list()->findText(idOf(*sized)));
    doButton()->click();
    QTRY_COMPARE(doButton()->text(), QStringLiteral("Stop"));
    QVERIFY(m_boxes.shown().isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(sized->frameSerial() >= 1, 5000);
    QCOMPARE(sized->lastFrame().size(), size_t(320 * 240 * 2));
    doButton()->click();

    // A screen without a size field now runs at the size read before.
    list()->setCurrentIndex(list()->findText(idOf(*plain)));
    doButton()->click();
    QTRY_COMPARE(doButton()->text(), QStringLiteral("Stop"));
    QVERIFY(m_boxes.shown().isEmpty());
    QCOMPARE(m_window->screenSize(), QSize(320, 240));
    QTRY_VERIFY_WITH_TIMEOUT(plain->frameSerial() >= 1, 5000);
    // Turned a quarter as the panel's row says, whatever size it names.
    QVERIFY(monitortest::showsOnGlass(quarterTurnedBack(plain->lastFrame(), 320, 240), mirroredFrame(320, 240)));
    doButton()->click();
}

void TestSpanmonWindow::unplugWhileMirroringKeepsStopUntilPressed()
{
    const auto model = attach(kSizedIdent, 0x141);
    newWindow();
    QTRY_COMPARE(list()->count(), 1);
    doButton()->click();
    QTRY_VERIFY_WITH_TIMEOUT(model->frameSerial() >= 1, 5000);
    m_bus->unplug(m_slots[0]);
    QTRY_VERIFY_WITH_TIMEOUT(!m_window->monitorRunning(), 3000);
    // The thread ended by itself; the window says so only when asked.
    QCOMPARE(doButton()->text(), QStringLiteral("Stop"));
    QTRY_VERIFY(monitortest::childrenNamed(QStringLiteral("telvdrv")).isEmpty());
    doButton()->click();
    QCOMPARE(doButton()->text(), QStringLiteral("Start"));
    QVERIFY(refreshButton()->isEnabled());
    QVERIFY(m_boxes.shown().isEmpty());
}

void TestSpanmonWindow::silentOrLyingScreenWhileMirroring_data()
{
    QTest::addColumn<bool>("silent");
    QTest::newRow("silent") << true;
    QTest::newRow("lying") << false;
}

void TestSpanmonWindow::silentOrLyingScreenWhileMirroring()
{
    QFETCH(bool, silent);
    const auto model = attach(kSizedIdent, 0x145);
    newWindow();
    QTRY_COMPARE(list()->count(), 1);
    doButton()->click();
    QTRY_VERIFY_WITH_TIMEOUT(model->frameSerial() >= 1, 5000);
    sim::Faults faults;
    faults.silent = silent;
    if (!silent) {
        faults.bulkAccept = 1000;
        faults.shortReply = 1;
    }
    model->setFaults(faults);
    if (silent) // the first timed-out transfer ends the thread
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->monitorRunning(), 5000);
    else
        QTest::qWait(300);
    // Stop always answers at once and leaves the window idle.
    QElapsedTimer t;
    t.start();
    doButton()->click();
    QVERIFY(t.elapsed() < 3000);
    QCOMPARE(doButton()->text(), QStringLiteral("Start"));
    QVERIFY(!m_window->monitorRunning());
    QTRY_VERIFY(monitortest::childrenNamed(QStringLiteral("telvdrv")).isEmpty());
    // Once the screen behaves again, mirroring starts again.
    model->setFaults({});
    const uint64_t before = model->frameSerial();
    doButton()->click();
    QTRY_VERIFY_WITH_TIMEOUT(model->frameSerial() > before + 1, 5000);
    QVERIFY(showsDriverPicture(*model));
    doButton()->click();
    QVERIFY(m_boxes.shown().isEmpty());
}

void TestSpanmonWindow::twoScreensWithOneIdMirrorTheFirstInBusOrder()
{
    const auto a = attach(kSizedIdent, 0x151);
    const auto b = attach(kSizedIdent, 0x152);
    const std::array<uint8_t, 8> sharedId = a->deviceId();
    b->setConfig(0x1FF0, std::vector<uint8_t>(sharedId.begin(), sharedId.end()));
    newWindow();
    QTRY_COMPARE(list()->count(), 2);
    QCOMPARE(list()->itemText(0), list()->itemText(1));
    int firstPort = 0;
    {
        screenlink::UsbContext ctx;
        screenlink::DeviceList devices(ctx.get());
        for (libusb_device *d : devices) {
            const int port = libusb_get_port_number(d);
            if (firstPort == 0 && (port == 1 || port == 2))
                firstPort = port;
        }
    }
    const auto &first = firstPort == 1 ? a : b;
    const auto &second = firstPort == 1 ? b : a;
    list()->setCurrentIndex(1);
    doButton()->click();
    QTRY_VERIFY_WITH_TIMEOUT(first->frameSerial() >= 1, 5000);
    QCOMPARE(second->frameStats().headers, uint64_t(0));
    doButton()->click();
}

void TestSpanmonWindow::screenAnotherProgramHoldsIsListedInUseAndSentNothing()
{
    const auto model = attach(kSizedIdent, 0x121);
    const int port = m_nextPort - 1;
    // Another program holds it, as tavrikctl does while it writes.
    const auto context = std::make_shared<screenlink::UsbContext>();
    std::shared_ptr<screenlink::Screen> held;
    QTRY_VERIFY((held = held ? held : holdScreen(context, 2, port)) != nullptr);
    model->clearRequests();
    newWindow();
    refresh();
    QTRY_COMPARE(list()->count(), 1);
    QCOMPARE(list()->itemText(0), QStringLiteral("PHY(2.%1): in use by another program").arg(port));
    QVERIFY(!qobject_cast<QStandardItemModel *>(list()->model())->item(0)->isEnabled());
    doButton()->click();
    QCOMPARE(m_boxes.shown(), QStringList{QStringLiteral("Error|This screen is in use by another program.")});
    QVERIFY(model->requests().empty());
    // Let go, it is listed by its ID.
    held.reset();
    refresh();
    QTRY_COMPARE(list()->itemText(0), idOf(*model));
}

void TestSpanmonWindow::closingTheWindowWhileMirroringStopsAndBlanks()
{
    const auto model = attach(kSizedIdent, 0x161);
    newWindow();
    QTRY_COMPARE(list()->count(), 1);
    doButton()->click();
    QTRY_VERIFY_WITH_TIMEOUT(model->frameSerial() >= 1, 5000);
    QTRY_VERIFY(!monitortest::childrenNamed(QStringLiteral("telvdrv")).isEmpty());
    const QList<qint64> drivers = monitortest::childrenNamed(QStringLiteral("telvdrv"));
    m_window.reset();
    for (qint64 pid : drivers)
        QVERIFY(monitortest::waitGone(pid));
    const Bytes last = model->lastFrame();
    QVERIFY(std::all_of(last.begin(), last.end(), [](uint8_t byte) { return byte == 0; }));
    QCOMPARE(model->requests().back().kind, sim::RequestRecord::Kind::BulkOut);
}

void TestSpanmonWindow::desktopAndTouchesAreUprightOnEveryPanelKind_data()
{
    QTest::addColumn<QString>("preset");
    QTest::newRow("mirrored top to bottom") << QStringLiteral("6.8in-telv");
    QTest::newRow("half turn") << QStringLiteral("7in-telv");
    QTest::newRow("quarter turn") << QStringLiteral("4in-telv");
    QTest::newRow("quarter turn back") << QStringLiteral("7.8in-long-telv");
}

void TestSpanmonWindow::desktopAndTouchesAreUprightOnEveryPanelKind()
{
    QFETCH(QString, preset);
    const auto model = attachPreset(preset, 0x151);
    QVERIFY(model);
    newWindow();
    QTRY_COMPARE(list()->count(), 1);
    doButton()->click();
    QTRY_COMPARE(doButton()->text(), QStringLiteral("Stop"));
    const sim::Preset &p = model->preset();
    QCOMPARE(m_window->screenSize(), QSize(p.pictureWidth(), p.pictureHeight()));
    QTRY_VERIFY_WITH_TIMEOUT(model->frameSerial() >= 2 && showsDriverPicture(*model), 5000);
    // The driver's side of the touch channel: a touch arrives at the
    // picture point it was made at, then its lift.
    std::string why;
    const QString port = QStringLiteral("PHY(%1.%2)").arg(m_bus->busNumber(m_slots[0])).arg(m_bus->portNumber(m_slots[0]));
    const auto touches = monitor::TouchReceiver::open(monitor::touchChannelName(session::screenKey(port)), &why);
    QVERIFY2(touches, why.c_str());
    const QPoint at(p.pictureWidth() / 4, p.pictureHeight() * 2 / 3);
    const auto [rawX, rawY] = model->rawTouchForPicturePoint(at.x(), at.y());
    model->injectTouch(rawX, rawY, 0);
    model->injectTouch(rawX, rawY, 1);
    for (const bool lifted : {false, true}) {
        const std::optional<monitor::Touch> touch = touches->receive(5000);
        QVERIFY(touch);
        QCOMPARE(QPoint(touch->x, touch->y), at);
        QCOMPARE(touch->lifted, lifted);
    }
    doButton()->click();
    QVERIFY(m_boxes.shown().isEmpty());
}

QTEST_MAIN(TestSpanmonWindow)
#include "tst_spanmonwindow.moc"

void TestSpanmonWindow::eachScreenKeepsItsModeAndWhetherItShowsByItself()
{
    QFile::remove(session::monitorConfPath());
    const auto first = attach(kSizedIdent, 0x611);
    const auto second = attach(kSizedIdent, 0x612);
    newWindow();
    QTRY_COMPARE(list()->count(), 2);
    auto *autoBox = m_window->findChild<QCheckBox *>(QStringLiteral("cbAuto"));
    auto *mode = m_window->findChild<QComboBox *>(QStringLiteral("cbMode"));
    auto *remembered = m_window->findChild<QListWidget *>(QStringLiteral("lwRemembered"));
    QVERIFY(autoBox && mode && remembered);
    const auto kept = [] {
        QMap<QString, QString> m;
        for (const session::RememberedScreen &r : session::rememberedScreens())
            m[r.id] = session::modeKey(r.mode);
        return m;
    };

    list()->setCurrentIndex(list()->findText(idOf(*first)));
    QVERIFY(!autoBox->isChecked());
    mode->setCurrentIndex(1);
    emit mode->activated(1);
    autoBox->click();
    QCOMPARE(kept(), (QMap<QString, QString>{{idOf(*first), QStringLiteral("mirror")}}));
    QVERIFY(remembered->item(0)->text().startsWith(idOf(*first) + QStringLiteral(" (mirror): ")));
    // No service on this bus: the list says so rather than a state it cannot know.
    QVERIFY(remembered->item(0)->text().endsWith(QStringLiteral("the background service is not running")));

    // Another screen shows its own choices; back again, the first's.
    list()->setCurrentIndex(list()->findText(idOf(*second)));
    QVERIFY(!autoBox->isChecked());
    QCOMPARE(mode->currentIndex(), 0);
    list()->setCurrentIndex(list()->findText(idOf(*first)));
    QVERIFY(autoBox->isChecked());
    QCOMPARE(mode->currentIndex(), 1);
    mode->setCurrentIndex(0);
    emit mode->activated(0);
    QCOMPARE(kept(), (QMap<QString, QString>{{idOf(*first), QStringLiteral("extend")}}));

    // The mode chosen is the one the driver is started in.
    mode->setCurrentIndex(1);
    doButton()->click();
    QTRY_COMPARE(doButton()->text(), QStringLiteral("Stop"));
    QTRY_VERIFY(!monitortest::childrenNamed(QStringLiteral("telvdrv")).isEmpty());
    QFile environment(QStringLiteral("/proc/%1/environ").arg(monitortest::childrenNamed(QStringLiteral("telvdrv")).first()));
    QVERIFY(environment.open(QIODevice::ReadOnly));
    QVERIFY(environment.readAll().split('\0').contains("TAVRIK_MONITOR_MODE=mirror"));
    doButton()->click();

    autoBox->click();
    QVERIFY(kept().isEmpty());
}
