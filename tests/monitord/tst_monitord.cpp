// The per-user monitor service as a user gets it: its own process on a
// private session bus, screens remembered in monitor.conf, simulated screens
// plugged and unplugged, the desktop's sleep signals sent as the desktop
// and logind send them. The frame driver beside it is the stand-in that
// publishes a known picture. Runs under umockdev-wrapper.
#include "bridge.h"
#include "chooser.h"
#include "devicelist.h"
#include "monitortestsupport.h"
#include "remembered.h"
#include "screen.h"
#include "screensession.h"
#include "usb/virtualbus.h"
#include "usbhandles.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusReply>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int kPatience = 30000;
const QString kService = QStringLiteral("com.tavrik.Monitor");
const QString kPath = QStringLiteral("/com/tavrik/Monitor");
const QString kInterface = QStringLiteral("com.tavrik.Monitor1");
const std::string kSizedIdent = "TAVRIK-4INRGB,480x800,2024-05-14,T113-4D0";

QString idOf(const sim::ScreenModel &model)
{
    const auto id = model.deviceId();
    return screenlink::formatDeviceId(id.data());
}

bool showsDriverPicture(const sim::ScreenModel &m)
{
    int w = 0;
    int h = 0;
    const std::vector<uint16_t> glass = m.shownPicture(&w, &h);
    const int stride = w * 4 + 32;
    const monitortest::Bytes picture = monitortest::pattern(w, h, stride, 5);
    return monitortest::showsOnGlass(glass, monitortest::expectedFrame(picture.data(), stride, w, h));
}

bool isBacklight(const sim::RequestRecord &r)
{
    return r.kind == sim::RequestRecord::Kind::Control && r.payload.size() == 8 && r.payload[1] == 0x51;
}

} // namespace

class TestMonitord : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void showsOnlyRememberedScreensAndFollowsTheirPlugs();
    void lendsTheScreenUntilItIsAskedBack_data();
    void lendsTheScreenUntilItIsAskedBack();
    void programsThatNeedTheScreenBorrowIt_data();
    void programsThatNeedTheScreenBorrowIt();
    void serviceAndSpanmonShowSeveralScreensAtOnce();
    void darkWhileTheDesktopSleeps_data();
    void darkWhileTheDesktopSleeps();
    void anotherScreenAtItsPortAfterASleepIsLeftAlone();
    void realDriverExtendsTheDesktopWhileTheScreenIsThere();
    void neverTwoForOneUser();

private:
    std::shared_ptr<sim::ScreenModel> attach(uint32_t seed);
    void startService(const QString &display = {}, const QString &program = QStringLiteral(MONITORD_PATH));
    QMap<QString, QString> states();
    QString stateOf(const std::shared_ptr<sim::ScreenModel> &m) { return states().value(idOf(*m)); }
    QString portOf(size_t index) const;
    int tavrikctl(const QStringList &arguments, QByteArray *out = nullptr);

    std::unique_ptr<sim::VirtualBus> m_bus;
    QProcess m_daemon;
    QString m_address;
    QTemporaryDir m_config;
    std::vector<int> m_slots;
    int m_nextPort = 1;
    QProcess m_service;
};

void TestMonitord::initTestCase()
{
    QVERIFY2(qEnvironmentVariableIsSet("LD_PRELOAD"), "run under umockdev-wrapper");
    m_bus = std::make_unique<sim::VirtualBus>();
    m_daemon.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    QVERIFY(m_daemon.waitForStarted(kPatience));
    while (!m_daemon.canReadLine())
        QVERIFY(m_daemon.waitForReadyRead(kPatience));
    m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    // One private bus stands for both: logind's signals come on it too.
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_address.toUtf8());
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_address.toUtf8());
    QVERIFY(m_config.isValid());
    qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
    qputenv("XDG_STATE_HOME", m_config.filePath(QStringLiteral("state")).toUtf8());
    QVERIFY(QDBusConnection::sessionBus().isConnected());
    qDBusRegisterMetaType<QList<QVariantMap>>();
}

void TestMonitord::cleanupTestCase()
{
    m_daemon.kill();
    m_daemon.waitForFinished(kPatience);
}

void TestMonitord::init()
{
    QFile::remove(session::monitorConfPath());
}

void TestMonitord::cleanup()
{
    if (m_service.state() != QProcess::NotRunning) {
        QDBusConnection::sessionBus().call(QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Quit")));
        if (!m_service.waitForFinished(kPatience))
            m_service.kill();
        m_service.waitForFinished(kPatience);
    }
    for (int slot : m_slots)
        if (m_bus->plugged(slot))
            m_bus->unplug(slot);
    m_slots.clear();
}

std::shared_ptr<sim::ScreenModel> TestMonitord::attach(uint32_t seed)
{
    auto model = std::make_shared<sim::ScreenModel>(*sim::findPreset("4in-telv"), seed);
    model->setIdent(kSizedIdent);
    m_slots.push_back(m_bus->attach(model, 2, m_nextPort++));
    return model;
}

QString TestMonitord::portOf(size_t index) const
{
    return QStringLiteral("PHY(%1.%2)").arg(m_bus->busNumber(m_slots[index])).arg(m_bus->portNumber(m_slots[index]));
}

void TestMonitord::startService(const QString &display, const QString &program)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // Its own X server, or none: the one the suite runs under is shared.
    if (display.isEmpty())
        env.remove(QStringLiteral("DISPLAY"));
    else
        env.insert(QStringLiteral("DISPLAY"), display);
    m_service.setProcessEnvironment(env);
    m_service.setProcessChannelMode(QProcess::ForwardedChannels);
    m_service.start(program, {});
    QVERIFY(m_service.waitForStarted(kPatience));
    QTRY_VERIFY_WITH_TIMEOUT(QDBusConnection::sessionBus().interface()->isServiceRegistered(kService), kPatience);
}

QMap<QString, QString> TestMonitord::states()
{
    const QDBusReply<QList<QVariantMap>> reply = QDBusConnection::sessionBus().call(
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Screens")));
    QMap<QString, QString> states;
    if (reply.isValid())
        for (const QVariantMap &row : reply.value())
            states[row.value(QStringLiteral("id")).toString()] = row.value(QStringLiteral("state")).toString();
    return states;
}

int TestMonitord::tavrikctl(const QStringList &arguments, QByteArray *out)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QStringLiteral(TAVRIKCTL_PATH), arguments);
    if (!p.waitForFinished(kPatience))
        return -1;
    if (out)
        *out = p.readAllStandardOutput();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

void TestMonitord::showsOnlyRememberedScreensAndFollowsTheirPlugs()
{
    const auto shown = attach(11);
    const auto other = attach(12);
    QCOMPARE(tavrikctl({QStringLiteral("monitor"), QStringLiteral("--auto"), idOf(*shown)}), 0);
    startService();
    QTRY_VERIFY_WITH_TIMEOUT(showsDriverPicture(*shown), kPatience);
    QTRY_COMPARE_WITH_TIMEOUT(stateOf(shown), QStringLiteral("showing"), kPatience);

    QByteArray listed;
    QCOMPARE(tavrikctl({QStringLiteral("monitor"), QStringLiteral("--list"), QStringLiteral("--json")}, &listed), 0);
    const QJsonObject top = QJsonDocument::fromJson(listed).object();
    QCOMPARE(top.value(QStringLiteral("service")).toString(), QStringLiteral("running"));
    const QJsonObject row = top.value(QStringLiteral("screens")).toArray().at(0).toObject();
    QCOMPARE(row.value(QStringLiteral("device_id")).toString(), idOf(*shown));
    QCOMPARE(row.value(QStringLiteral("state")).toString(), QStringLiteral("showing"));
    QCOMPARE(row.value(QStringLiteral("port")).toString(), portOf(0));

    // Pulled out: the monitor goes. Plugged in again: the picture is back.
    m_bus->unplug(m_slots[0]);
    QTRY_COMPARE_WITH_TIMEOUT(stateOf(shown), QStringLiteral("waiting"), kPatience);
    const uint64_t before = shown->frameSerial();
    m_bus->plug(m_slots[0]);
    QTRY_VERIFY_WITH_TIMEOUT(shown->frameSerial() > before + 1, kPatience);
    QTRY_COMPARE_WITH_TIMEOUT(stateOf(shown), QStringLiteral("showing"), kPatience);

    // Forgotten: let go and blanked.
    QCOMPARE(tavrikctl({QStringLiteral("monitor"), QStringLiteral("--off"), idOf(*shown)}), 0);
    QTRY_VERIFY_WITH_TIMEOUT(states().isEmpty(), kPatience);
    QTRY_VERIFY_WITH_TIMEOUT(!shown->lastRawBulk().empty(), kPatience);
    const std::vector<uint8_t> blank = shown->lastRawBulk();
    QVERIFY(std::all_of(blank.begin(), blank.end(), [](uint8_t b) { return b == 0; }));
    // The screen nobody remembered never got a frame or a backlight change.
    QCOMPARE(other->frameSerial(), uint64_t(0));
    QVERIFY(!other->backlight());
}

void TestMonitord::lendsTheScreenUntilItIsAskedBack_data()
{
    QTest::addColumn<bool>("holderLeaves");
    QTest::newRow("asked back") << false;
    QTest::newRow("the asking program ends") << true;
}

void TestMonitord::lendsTheScreenUntilItIsAskedBack()
{
    QFETCH(bool, holderLeaves);
    const auto screen = attach(21);
    QString why;
    QVERIFY(session::remember({idOf(*screen), session::ShowMode::Mirror}, &why));
    startService();
    QTRY_COMPARE_WITH_TIMEOUT(stateOf(screen), QStringLiteral("showing"), kPatience);

    // Asked by port, as a program that found it in use knows it. The
    // connection goes once no object refers to it.
    const auto holderCall = [this](const QString &method) {
        return QDBusConnection::connectToBus(m_address, QStringLiteral("holder"))
            .call(QDBusMessage::createMethodCall(kService, kPath, kInterface, method) << portOf(0));
    };
    const QDBusReply<bool> lent = holderCall(QStringLiteral("LetGo"));
    QVERIFY(lent.isValid() && lent.value());
    QCOMPARE(stateOf(screen), QStringLiteral("let-go"));
    {
        // Ours now: it opens, which it would not while the service held it.
        auto context = std::make_shared<screenlink::UsbContext>();
        const screenlink::DeviceList devices(context->get());
        libusb_device *device = devices.find(*screenlink::parsePortPath(portOf(0)), m_bus->deviceAddress(m_slots[0]));
        QVERIFY(device);
        screenlink::OpenFailure failure = screenlink::OpenFailure::None;
        QVERIFY(screenlink::Screen::open(context, device, &failure));
    }
    const uint64_t before = screen->frameSerial();
    if (!holderLeaves)
        holderCall(QStringLiteral("TakeBack"));
    QDBusConnection::disconnectFromBus(QStringLiteral("holder"));
    QTRY_COMPARE_WITH_TIMEOUT(stateOf(screen), QStringLiteral("showing"), kPatience);
    QTRY_VERIFY_WITH_TIMEOUT(screen->frameSerial() > before + 1, kPatience);
}

void TestMonitord::programsThatNeedTheScreenBorrowIt_data()
{
    QTest::addColumn<bool>("window");
    QTest::newRow("tavrikctl job") << false;
    QTest::newRow("panelctl choosing it") << true;
}

void TestMonitord::programsThatNeedTheScreenBorrowIt()
{
    QFETCH(bool, window);
    const auto screen = attach(41);
    QString why;
    QVERIFY(session::remember({idOf(*screen), session::ShowMode::Extend}, &why));
    startService();
    QTRY_COMPARE_WITH_TIMEOUT(stateOf(screen), QStringLiteral("showing"), kPatience);

    if (!window) {
        QCOMPARE(tavrikctl({QStringLiteral("fill"), QStringLiteral("red"), QStringLiteral("--screen"), portOf(0)}), 0);
        int w = 0;
        int h = 0;
        const std::vector<uint16_t> glass = screen->shownPicture(&w, &h);
        QVERIFY(!glass.empty());
        QCOMPARE(glass[glass.size() / 2], uint16_t(0xF800));
    } else {
        // What panelctl's screen list does when the user picks the screen.
        auto session = std::make_unique<session::ScreenSession>();
        QSignalSpy selected(session.get(), &session::ScreenSession::selected);
        session->scan();
        // Listed and opened by itself at start, it stays the service's, and says so.
        const QVariantList byService{QVariant::fromValue(session::Selection::ShownByService)};
        QTRY_VERIFY_WITH_TIMEOUT(selected.contains(byService), kPatience);
        QCOMPARE(stateOf(screen), QStringLiteral("showing"));
        session->choose(0);
        QTRY_VERIFY_WITH_TIMEOUT(session->hasScreen(), kPatience);
        QCOMPARE(stateOf(screen), QStringLiteral("let-go"));
        QVERIFY(selected.contains(QVariantList{QVariant::fromValue(session::Selection::Running)}));
        session.reset();
    }
    // Given back when the program let go of it.
    const uint64_t before = screen->frameSerial();
    QTRY_COMPARE_WITH_TIMEOUT(stateOf(screen), QStringLiteral("showing"), kPatience);
    QTRY_VERIFY_WITH_TIMEOUT(screen->frameSerial() > before + 1, kPatience);
}

void TestMonitord::serviceAndSpanmonShowSeveralScreensAtOnce()
{
    const auto first = attach(71);
    const auto second = attach(72);
    const auto chosen = attach(73);
    QString why;
    QVERIFY(session::remember({idOf(*first), session::ShowMode::Extend}, &why));
    QVERIFY(session::remember({idOf(*second), session::ShowMode::Mirror}, &why));
    startService();
    QTRY_COMPARE_WITH_TIMEOUT(stateOf(first), QStringLiteral("showing"), kPatience);
    QTRY_COMPARE_WITH_TIMEOUT(stateOf(second), QStringLiteral("showing"), kPatience);
    QTRY_VERIFY_WITH_TIMEOUT(showsDriverPicture(*first) && showsDriverPicture(*second), kPatience);

    // What spanmon's Start and Stop do, with the service's stand-in driver.
    session::ScreenChooser chooser;
    QSignalSpy started(&chooser, &session::ScreenChooser::chosen);
    chooser.start(idOf(*chosen), QFileInfo(QStringLiteral(MONITORD_PATH)).absolutePath() + QStringLiteral("/telvdrv"));
    QTRY_VERIFY_WITH_TIMEOUT(!started.isEmpty(), kPatience);
    QCOMPARE(started.first().at(1).value<session::ChooseOutcome>(), session::ChooseOutcome::Started);
    QTRY_VERIFY_WITH_TIMEOUT(showsDriverPicture(*chosen), kPatience);

    // Each keeps its own frames coming, and the command line tells them apart
    // from a screen merely in use.
    const auto advancing = [](const sim::ScreenModel &m) {
        const uint64_t before = m.frameSerial();
        return [&m, before] { return m.frameSerial() > before + 1; };
    };
    const auto firstGoesOn = advancing(*first);
    const auto secondGoesOn = advancing(*second);
    QTRY_VERIFY_WITH_TIMEOUT(firstGoesOn() && secondGoesOn(), kPatience);
    QCOMPARE(stateOf(first), QStringLiteral("showing"));
    QByteArray listed;
    QCOMPARE(tavrikctl({QStringLiteral("list"), QStringLiteral("--json")}, &listed), 0);
    const QJsonArray screens = QJsonDocument::fromJson(listed).object().value(QStringLiteral("screens")).toArray();
    QCOMPARE(screens.size(), 3);
    for (const auto &s : screens)
        QCOMPARE(s.toObject().value(QStringLiteral("state")).toString(), QStringLiteral("monitor"));

    chooser.stop(idOf(*chosen));
    const auto firstStillGoesOn = advancing(*first);
    const auto secondStillGoesOn = advancing(*second);
    QTRY_VERIFY_WITH_TIMEOUT(firstStillGoesOn() && secondStillGoesOn(), kPatience);
    QCOMPARE(stateOf(second), QStringLiteral("showing"));
}

void TestMonitord::darkWhileTheDesktopSleeps_data()
{
    // How each desktop says it sleeps: path, interface, signal, and the
    // arguments for asleep and awake.
    QTest::addColumn<QString>("owner"); // a name the sender must hold, if any
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("interface");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QVariantList>("asleep");
    QTest::addColumn<QVariantList>("awake");
    QTest::newRow("screensaver (KDE, Xfce)")
        << QString() << QStringLiteral("/org/freedesktop/ScreenSaver") << QStringLiteral("org.freedesktop.ScreenSaver")
        << QStringLiteral("ActiveChanged") << QVariantList{true} << QVariantList{false};
    QTest::newRow("GNOME lock") << QString() << QStringLiteral("/org/gnome/ScreenSaver")
                                << QStringLiteral("org.gnome.ScreenSaver") << QStringLiteral("ActiveChanged")
                                << QVariantList{true} << QVariantList{false};
    const QString props = QStringLiteral("org.freedesktop.DBus.Properties");
    const QString mutter = QStringLiteral("org.gnome.Mutter.DisplayConfig");
    QTest::newRow("GNOME power saving")
        << QString() << QStringLiteral("/org/gnome/Mutter/DisplayConfig") << props << QStringLiteral("PropertiesChanged")
        << QVariantList{mutter, QVariantMap{{QStringLiteral("PowerSaveMode"), 3}}, QStringList()}
        << QVariantList{mutter, QVariantMap{{QStringLiteral("PowerSaveMode"), 0}}, QStringList()};
    // Where the X server blanks by itself: its screensaver, turned on and off as xset does.
    QTest::newRow("X screensaver") << QString() << QString() << QString() << QString() << QVariantList{QStringLiteral("activate")}
                                   << QVariantList{QStringLiteral("reset")};
    QTest::newRow("logind suspend") << QStringLiteral("org.freedesktop.login1") << QStringLiteral("/org/freedesktop/login1")
                                    << QStringLiteral("org.freedesktop.login1.Manager")
                                    << QStringLiteral("PrepareForSleep") << QVariantList{true} << QVariantList{false};
}

void TestMonitord::darkWhileTheDesktopSleeps()
{
    QFETCH(QString, owner);
    QFETCH(QString, path);
    QFETCH(QString, interface);
    QFETCH(QString, name);
    QFETCH(QVariantList, asleep);
    QFETCH(QVariantList, awake);
    const auto screen = attach(31);
    QString why;
    QVERIFY(session::remember({idOf(*screen), session::ShowMode::Extend}, &why));
    QDBusConnection desktop = QDBusConnection::connectToBus(m_address, QStringLiteral("desktop"));
    if (!owner.isEmpty())
        QVERIFY(desktop.registerService(owner));
    monitortest::Xvfb xserver;
    QString display;
    if (path.isEmpty()) {
        const QString failed = xserver.start(QSize(640, 480));
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        display = xserver.display();
    }
    // The service goes before its X server.
    const auto endService = qScopeGuard([this] { cleanup(); });
    // The level the user set last is the one the wake brings back.
    QCOMPARE(tavrikctl({QStringLiteral("backlight"), QStringLiteral("40"), QStringLiteral("--screen"), portOf(0)}), 0);
    startService(display);
    QTRY_COMPARE_WITH_TIMEOUT(stateOf(screen), QStringLiteral("showing"), kPatience);

    const auto send = [&](const QVariantList &arguments) {
        if (path.isEmpty()) {
            QCOMPARE(QProcess::execute(QStringLiteral("xset"), {QStringLiteral("-display"), display, QStringLiteral("s"),
                                                                arguments.value(0).toString()}),
                     0);
            return;
        }
        QDBusMessage signal = QDBusMessage::createSignal(path, interface, name);
        signal.setArguments(arguments);
        QVERIFY(desktop.send(signal));
    };
    screen->clearRequests();
    send(asleep);
    QTRY_COMPARE_WITH_TIMEOUT(screen->backlight(), std::optional<int>(0), kPatience);
    QCOMPARE(stateOf(screen), QStringLiteral("asleep"));
    send(awake);
    QTRY_COMPARE_WITH_TIMEOUT(screen->backlight(), std::optional<int>(102), kPatience);
    QCOMPARE(stateOf(screen), QStringLiteral("showing"));
    const uint64_t woke = screen->frameSerial();
    QTRY_VERIFY_WITH_TIMEOUT(screen->frameSerial() > woke, kPatience);

    // Between dark and light no frame went out.
    const std::vector<sim::RequestRecord> records = screen->requests();
    const auto dark = std::find_if(records.begin(), records.end(), isBacklight);
    QVERIFY(dark != records.end());
    const auto light = std::find_if(dark + 1, records.end(), isBacklight);
    QVERIFY(light != records.end());
    QVERIFY(std::none_of(dark, light, [](const sim::RequestRecord &r) { return r.kind == sim::RequestRecord::Kind::BulkOut; }));
    if (!owner.isEmpty())
        desktop.unregisterService(owner);
    QDBusConnection::disconnectFromBus(QStringLiteral("desktop"));
}

void TestMonitord::anotherScreenAtItsPortAfterASleepIsLeftAlone()
{
    const auto screen = attach(61);
    QString why;
    QVERIFY(session::remember({idOf(*screen), session::ShowMode::Extend}, &why));
    startService();
    QTRY_COMPARE_WITH_TIMEOUT(stateOf(screen), QStringLiteral("showing"), kPatience);
    const auto saver = [](bool active) {
        QDBusMessage signal = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/ScreenSaver"),
                                                         QStringLiteral("org.freedesktop.ScreenSaver"),
                                                         QStringLiteral("ActiveChanged"));
        signal << active;
        QVERIFY(QDBusConnection::sessionBus().send(signal));
    };
    saver(true);
    QTRY_COMPARE_WITH_TIMEOUT(screen->backlight(), std::optional<int>(0), kPatience);
    // Swapped while the machine slept: the stranger is read, never shown.
    auto stranger = std::make_shared<sim::ScreenModel>(*sim::findPreset("4in-telv"), 62);
    stranger->setIdent(kSizedIdent);
    m_bus->putInPlace(m_slots[0], stranger);
    saver(false);
    QTRY_COMPARE_WITH_TIMEOUT(stateOf(screen), QStringLiteral("waiting"), kPatience);
    QTRY_VERIFY_WITH_TIMEOUT(!stranger->requests().empty(), kPatience);
    QCOMPARE(stranger->frameSerial(), uint64_t(0));
    QVERIFY(!stranger->backlight());
}

void TestMonitord::realDriverExtendsTheDesktopWhileTheScreenIsThere()
{
    monitortest::Xvfb x;
    const QString failed = x.startExtendable(QSize(1280, 1024), QSize(2080, 1024));
    if (!failed.isEmpty())
        QSKIP(qPrintable(failed));
    const auto screen = attach(51);
    QString why;
    QVERIFY(session::remember({idOf(*screen), session::ShowMode::Extend}, &why));
    const auto endService = qScopeGuard([this] { cleanup(); });
    startService(x.display(), QStringLiteral(MONITORD_X11_PATH));
    const QRect extension(1280, 0, 800, 480);
    const auto extended = [&] {
        const auto list = monitortest::monitors(x.display());
        return list.size() == 2 && list.at(1).second == extension && monitortest::desktopSize(x.display()) == QSize(2080, 1024);
    };
    QTRY_VERIFY_WITH_TIMEOUT(extended(), kPatience);

    // Pulled out: the desktop gets its size back and the monitor goes.
    m_bus->unplug(m_slots[0]);
    QTRY_VERIFY_WITH_TIMEOUT(monitortest::monitors(x.display()).size() == 1
                                 && monitortest::desktopSize(x.display()) == QSize(1280, 1024),
                             kPatience);
    // A loose cable: out again each time just as the service takes it up,
    // then left in. One monitor, one driver.
    for (int i = 0; i < 3; ++i) {
        screen->clearRequests();
        m_bus->plug(m_slots[0]);
        QTRY_VERIFY_WITH_TIMEOUT(!screen->requests().empty(), kPatience);
        m_bus->unplug(m_slots[0]);
    }
    const uint64_t before = screen->frameSerial();
    m_bus->plug(m_slots[0]);
    QTRY_VERIFY_WITH_TIMEOUT(extended(), kPatience);
    QTRY_VERIFY_WITH_TIMEOUT(screen->frameSerial() > before, kPatience);
    QTRY_COMPARE_WITH_TIMEOUT(stateOf(screen), QStringLiteral("showing"), kPatience);
    QTRY_COMPARE_WITH_TIMEOUT(monitortest::waitForProcesses(QStringLiteral("telvdrv"), 0).size(), 1, kPatience);
}

void TestMonitord::neverTwoForOneUser()
{
    startService();
    QProcess second;
    second.setProcessChannelMode(QProcess::MergedChannels);
    second.start(QStringLiteral(MONITORD_PATH), {});
    QVERIFY(second.waitForFinished(kPatience));
    QCOMPARE(second.exitCode(), 0);
    QVERIFY(second.readAll().contains("another tavrik-monitord already runs"));
    QCOMPARE(m_service.state(), QProcess::Running);
}

QTEST_GUILESS_MAIN(TestMonitord)
#include "tst_monitord.moc"
