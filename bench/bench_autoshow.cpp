// The monitor service's figures: from a remembered screen's plug-in to its
// first picture, from the desktop's wake to the first picture (medians), and
// the service's processor time while the desktop is still and while it
// sleeps. The service runs as users get it, on a private session bus, with
// the stand-in driver beside it; the screen is simulated on this process's
// bus. Run under umockdev-wrapper; --quick for a short run. A figure that
// never comes ends the run with a failure.
#include "bridge.h"
#include "monitortestsupport.h"
#include "remembered.h"
#include "usb/virtualbus.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusReply>
#include <QDeadlineTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>


namespace {

using Clock = std::chrono::steady_clock;
const QString kService = QStringLiteral("com.tavrik.Monitor");
const QString kPath = QStringLiteral("/com/tavrik/Monitor");
const QString kInterface = QStringLiteral("com.tavrik.Monitor1");
constexpr int kPatienceMs = 30000;

// Polls `done` (with the event loop running) until it holds; false after the patience.
bool waitFor(const std::function<bool()> &done)
{
    QDeadlineTimer until(kPatienceMs);
    while (!done()) {
        if (until.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        QThread::usleep(500);
    }
    return true;
}

QString stateOf(const QString &id)
{
    const QDBusReply<QList<QVariantMap>> reply = QDBusConnection::sessionBus().call(
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Screens")));
    if (reply.isValid())
        for (const QVariantMap &row : reply.value())
            if (row.value(QStringLiteral("id")).toString() == id)
                return row.value(QStringLiteral("state")).toString();
    return {};
}

void saver(bool active)
{
    QDBusMessage signal = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/ScreenSaver"),
                                                     QStringLiteral("org.freedesktop.ScreenSaver"),
                                                     QStringLiteral("ActiveChanged"));
    signal << active;
    QDBusConnection::sessionBus().send(signal);
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double msSince(Clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

class Service {
public:
    explicit Service(bool still)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        if (still)
            env.insert(QStringLiteral("FAKEDRIVER_STILL"), QStringLiteral("1"));
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        m_process.start(QStringLiteral(MONITORD_PATH), {});
        m_up = m_process.waitForStarted(kPatienceMs)
               && waitFor([] { return QDBusConnection::sessionBus().interface()->isServiceRegistered(kService).value(); });
    }
    ~Service()
    {
        QDBusConnection::sessionBus().call(QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Quit")));
        if (!m_process.waitForFinished(kPatienceMs))
            m_process.kill();
        m_process.waitForFinished(kPatienceMs);
        waitFor([] { return !QDBusConnection::sessionBus().interface()->isServiceRegistered(kService).value(); });
    }
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;
    bool up() const { return m_up; }
    qint64 pid() const { return m_process.processId(); }

private:
    QProcess m_process;
    bool m_up = false;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));
    const int rounds = quick ? 3 : 20;
    const int idleSeconds = quick ? 2 : 20;

    sim::VirtualBus bus;
    QProcess daemon;
    daemon.start(QStringLiteral("dbus-daemon"),
                 {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    bool started = daemon.waitForStarted(kPatienceMs);
    while (started && !daemon.canReadLine())
        started = daemon.waitForReadyRead(kPatienceMs);
    if (!started) {
        std::fprintf(stderr, "no private session bus\n");
        return 1;
    }
    qputenv("DBUS_SESSION_BUS_ADDRESS", daemon.readLine().trimmed());
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", qgetenv("DBUS_SESSION_BUS_ADDRESS"));
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    qDBusRegisterMetaType<QList<QVariantMap>>();

    auto model = std::make_shared<sim::ScreenModel>(*sim::findPreset("4in-telv"), 7);
    model->setIdent("TAVRIK-4INRGB,480x800,2024-05-14,T113-4D0");
    const int slot = bus.attach(model, 2, 1);
    const auto idBytes = model->deviceId();
    const QString id = screenlink::formatDeviceId(idBytes.data());
    QString why;
    if (!session::remember({id, session::ShowMode::Extend}, &why)) {
        std::fprintf(stderr, "%s\n", qPrintable(why));
        return 1;
    }

    std::vector<double> plugIn;
    std::vector<double> wake;
    {
        Service service(false);
        if (!service.up() || !waitFor([&] { return stateOf(id) == QLatin1String("showing"); })) {
            std::fprintf(stderr, "the service never showed the screen\n");
            return 1;
        }
        for (int i = 0; i < rounds; ++i) {
            bus.unplug(slot);
            if (!waitFor([&] { return stateOf(id) == QLatin1String("waiting"); }))
                return std::fprintf(stderr, "the unplug was never noticed\n"), 1;
            const uint64_t before = model->frameSerial();
            const auto t0 = Clock::now();
            bus.plug(slot);
            if (!waitFor([&] { return model->frameSerial() > before; }))
                return std::fprintf(stderr, "no picture after the plug-in\n"), 1;
            plugIn.push_back(msSince(t0));
        }
        for (int i = 0; i < rounds; ++i) {
            saver(true);
            if (!waitFor([&] { return model->backlight() == 0; }))
                return std::fprintf(stderr, "the screen never went dark\n"), 1;
            const uint64_t before = model->frameSerial();
            const auto t0 = Clock::now();
            saver(false);
            if (!waitFor([&] { return model->frameSerial() > before; }))
                return std::fprintf(stderr, "no picture after the wake\n"), 1;
            wake.push_back(msSince(t0));
        }
    }
    std::printf("plug-in to first picture: median %.0f ms of %d (target < 2000)\n", median(plugIn), rounds);
    std::printf("wake to first picture:    median %.0f ms of %d (target < 500)\n", median(wake), rounds);

    // A still desktop: the driver published once; then asleep.
    Service still(true);
    if (!still.up() || !waitFor([&] { return stateOf(id) == QLatin1String("showing"); }))
        return std::fprintf(stderr, "the service never showed the screen\n"), 1;
    for (const bool asleep : {false, true}) {
        saver(asleep);
        if (asleep && !waitFor([&] { return model->backlight() == 0; }))
            return std::fprintf(stderr, "the screen never went dark\n"), 1;
        const double cpu0 = double(monitortest::processorMs(still.pid()));
        const auto t0 = Clock::now();
        QThread::sleep(unsigned(idleSeconds));
        const double share = (double(monitortest::processorMs(still.pid())) - cpu0) / msSince(t0) * 100.0;
        std::printf("service CPU, desktop %s: %.3f%% of a core over %d s (target < 0.2%%)\n",
                    asleep ? "asleep" : "still ", share, idleSeconds);
    }
    bus.unplug(slot);
    daemon.kill();
    daemon.waitForFinished(kPatienceMs);
    return 0;
}
