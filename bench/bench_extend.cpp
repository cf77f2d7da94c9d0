// What monitor mode costs with the real frame driver on a virtual X server
// that can grow, or with --wayland inside a session of
// tests/wayland/wayland-session (sway, or GNOME with --gnome): for extend
// and mirror, with a still desktop and with one window redrawn 30 times a
// second, the frames the screen received per second, the bytes per second
// on the bus, and the CPU of telvdrv, of this process (the program's
// monitor job, plus the simulated screen, which runs here too) and of the
// X server or compositor. Run under umockdev-wrapper; --quick for a short
// run; --driver PATH measures another build of the driver (an older one,
// say); --screens N measures 1 to N screens extending one X desktop side by
// side, each with a window redrawn 30 times a second on its own monitor and
// then still. Figures through the emulated USB are for comparing changes, not
// promises about hardware. Ends with a failure, naming the row, when the
// screen never got its first picture or got none while the window changed:
// a rate of 0.0 there measures nothing.
#include "monitortestsupport.h"
#include "monitorworker.h"
#include "screen.h"
#include "simscreen.h"
#include "usb/virtualbus.h"
#include "usbhandles.h"
#include "waylandbed.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr int kPort = 4;
constexpr int kWidth = 800;
constexpr int kHeight = 480;
const QSize kDesktop(1280, 1024);
const QSize kRoom(2080, 1024);
// Room for the most screens --screens takes.
constexpr int kMostScreens = 4;
const QSize kRoomForSeveral(1280 + kMostScreens * 800, 1024);
// The monitor worker's thread name as /proc shows it (15 characters).
const QByteArray kMonitorThread("session::Monito");
// sway's bed shares its output HEADLESS-2, which lies there, in both modes.
const QPoint kSwayCastOutput(1280, 0);

// Where monitor mode runs, and who draws the desktop there.
struct Desktop {
    QString name;
    QString display; // X11's; empty on Wayland
    bool gnome = false;
    QList<waylandbed::Monitor> monitors; // GNOME's own, without ours
    qint64 server = 0;                   // the X server or the compositor
    // sway's portal sends nothing until the output changes.
    bool firstPictureUnasked = true;
};

// The process named `comm` in this process's session: the bed starts the
// whole desktop, and this bench, in a session of its own.
qint64 inOurSession(const QByteArray &comm)
{
    const pid_t ours = getsid(0);
    const QDir proc(QStringLiteral("/proc"));
    for (const QString &entry : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        QFile name(proc.filePath(entry + QStringLiteral("/comm")));
        if (number && getsid(pid_t(pid)) == ours && name.open(QIODevice::ReadOnly) && name.readAll().trimmed() == comm)
            return pid;
    }
    return 0;
}

double cpuSelf()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// User and system time of this process's threads whose name starts with
// `prefix` (the monitor job's), from /proc.
double cpuOfThreads(const QByteArray &prefix)
{
    double total = 0;
    const double ticks = double(sysconf(_SC_CLK_TCK));
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(tid + QStringLiteral("/comm")));
        QFile stat(tasks.filePath(tid + QStringLiteral("/stat")));
        if (!comm.open(QIODevice::ReadOnly) || !comm.readAll().startsWith(prefix) || !stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() >= 13)
            total += (fields[11].toDouble() + fields[12].toDouble()) / ticks;
    }
    return total;
}

// User and system time of another process, from /proc; -1 when gone.
double cpuOf(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // Fields after the command name, which may hold spaces, in brackets.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    const double ticks = double(sysconf(_SC_CLK_TCK));
    return (fields[11].toDouble() + fields[12].toDouble()) / ticks;
}

struct Figures {
    double framesPerSecond = 0;
    double bytesPerSecond = 0;
    double driverCpu = 0; // share of one core
    double programCpu = 0;
    double monitorCpu = 0; // the monitor job's thread alone
    double serverCpu = 0;
    QString nothing; // why the screen got nothing; empty when it got its pictures
};

// Polls `done` for up to 10 s.
bool waitFor(const std::function<bool()> &done)
{
    const auto started = std::chrono::steady_clock::now();
    while (!done() && std::chrono::steady_clock::now() - started < std::chrono::seconds(10))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return done();
}

// Where on a Wayland desktop the screen's picture comes from: GNOME's new
// virtual monitor in extend mode, its real one in mirror mode. None when
// GNOME added no monitor.
std::optional<QPoint> castArea(const Desktop &desktop, bool extend)
{
    if (!desktop.gnome)
        return kSwayCastOutput;
    if (!extend)
        return desktop.monitors.front().area.center();
    waylandbed::Monitor added;
    if (!waitFor([&] { return !(added = waylandbed::addedMonitor(desktop.monitors)).connector.isEmpty(); }))
        return std::nullopt;
    return added.area.topLeft();
}

Figures measure(const QString &driver, const Desktop &desktop, const char *mode, bool redrawn, double seconds,
                sim::ScreenModel &model, const std::shared_ptr<screenlink::Screen> &screen)
{
    const QString display = desktop.display;
    if (display.isEmpty())
        qunsetenv("DISPLAY");
    else
        qputenv("DISPLAY", display.toLocal8Bit());
    qputenv("TAVRIK_MONITOR_MODE", mode);
    const bool extend = std::strcmp(mode, "extend") == 0;
    // The monitor of the row before goes a moment after its driver, and
    // the next one takes its name.
    if (desktop.gnome)
        waitFor([&desktop] { return waylandbed::gnomeMonitors().size() == desktop.monitors.size(); });
    session::MonitorWorker monitor(200);
    monitor.begin(screen, QSize(kWidth, kHeight), screenlink::ScanOrder::TopToBottom, driver);
    // Past the start-up and the first picture (sway's portal sends none
    // until something changes).
    const uint64_t atStart = model.frameSerial();
    const bool firstCame = waitFor([&model, atStart] { return model.frameSerial() != atStart; });
    Figures f;
    if (!firstCame && desktop.firstPictureUnasked)
        f.nothing = QStringLiteral("no first picture within 10 s of the start");
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    const QList<qint64> drivers = monitortest::childrenNamed(QFileInfo(driver).fileName());

    // A Wayland client cannot place its window: it fills the monitor shown.
    std::unique_ptr<waylandbed::PictureWindow> flashing;
    if (redrawn && display.isEmpty()) {
        const std::optional<QPoint> cast = castArea(desktop, extend);
        if (cast)
            flashing = std::make_unique<waylandbed::PictureWindow>(
                QStringLiteral(PICTUREWINDOW_PATH), *cast, QStringList{QStringLiteral("--flash"), QStringLiteral("30")});
        if (!cast && f.nothing.isEmpty())
            f.nothing = QStringLiteral("GNOME added no monitor for the screen");
        else if (cast && !flashing->shown() && f.nothing.isEmpty())
            f.nothing = QStringLiteral("the window found no monitor at %1,%2").arg(cast->x()).arg(cast->y());
    }
    // Inside the area the screen shows: on the new monitor, or anywhere.
    const int left = extend ? kDesktop.width() + 100 : 100;
    std::atomic<bool> painting{redrawn && !display.isEmpty()};
    std::thread painter([&painting, display, left] {
        if (!painting)
            return;
        monitortest::TestWindow window(display, QRect(left, 100, 400, 300), 0xFF0000);
        for (uint32_t i = 0; painting; ++i) {
            window.paint(i % 2 ? 0xFF0000 : 0x0000FF);
            std::this_thread::sleep_for(std::chrono::microseconds(33333));
        }
    });
    // Measured once the window's pictures come, however long a busy
    // desktop takes to show it.
    if (redrawn) {
        const uint64_t before = model.frameSerial();
        waitFor([&model, before] { return model.frameSerial() != before; });
    }

    const uint64_t frames0 = model.frameSerial();
    const double driver0 = drivers.isEmpty() ? 0 : cpuOf(drivers.first());
    const double self0 = cpuSelf();
    const double monitor0 = cpuOfThreads(kMonitorThread);
    const double server0 = cpuOf(desktop.server);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double frames = double(model.frameSerial() - frames0);
    f.framesPerSecond = frames / seconds;
    f.bytesPerSecond = frames * kWidth * kHeight * 2 / seconds;
    f.driverCpu = drivers.isEmpty() ? 0 : (cpuOf(drivers.first()) - driver0) / seconds;
    f.programCpu = (cpuSelf() - self0) / seconds;
    f.monitorCpu = (cpuOfThreads(kMonitorThread) - monitor0) / seconds;
    f.serverCpu = (cpuOf(desktop.server) - server0) / seconds;
    if (redrawn && frames == 0 && f.nothing.isEmpty())
        f.nothing = QStringLiteral("no frame while the window changed at 30 Hz");
    // Another program's start or stop ends every driver of this user by name.
    if (!f.nothing.isEmpty() && (drivers.isEmpty() || cpuOf(drivers.first()) < 0))
        f.nothing += drivers.isEmpty() ? QStringLiteral(" (no driver was running)")
                                       : QStringLiteral(" (its driver had ended)");

    painting = false;
    painter.join();
    flashing.reset();
    monitor.stopAndWait(-1);
    return f;
}

// --screens: `count` screens extend the X desktop at once, each with its
// own job and driver; with `redrawn`, a window on each one's monitor changes
// 30 times a second. Frames per second of each screen, and the CPU of the
// drivers, the monitor jobs and the X server together.
struct SeveralFigures {
    std::vector<double> framesPerSecond;
    double driversCpu = 0;
    double monitorsCpu = 0;
    double serverCpu = 0;
    QString nothing;
};

SeveralFigures measureSeveral(const QString &driver, const Desktop &desktop, bool redrawn, double seconds,
                              const std::vector<std::shared_ptr<sim::ScreenModel>> &models,
                              const std::vector<std::shared_ptr<screenlink::Screen>> &screens,
                              const std::vector<QString> &keys)
{
    qputenv("DISPLAY", desktop.display.toLocal8Bit());
    qputenv("TAVRIK_MONITOR_MODE", "extend");
    const size_t count = models.size();
    std::vector<std::unique_ptr<session::MonitorWorker>> jobs;
    SeveralFigures f;
    for (size_t i = 0; i < count; ++i) {
        const uint64_t atStart = models[i]->frameSerial();
        jobs.push_back(std::make_unique<session::MonitorWorker>(200));
        jobs.back()->begin(screens[i], QSize(kWidth, kHeight), screenlink::ScanOrder::TopToBottom, driver, {}, keys[i]);
        // One after the other, as a user starts them: each monitor goes
        // right of the ones before.
        if (!waitFor([&] { return models[i]->frameSerial() != atStart; }) && f.nothing.isEmpty())
            f.nothing = QStringLiteral("screen %1 got no first picture within 10 s of its start").arg(i + 1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    const QList<qint64> drivers = monitortest::childrenNamed(QFileInfo(driver).fileName());
    const auto driversCpu = [&drivers] {
        double total = 0;
        for (qint64 pid : drivers)
            total += std::max(0.0, cpuOf(pid));
        return total;
    };

    std::atomic<bool> painting{redrawn};
    std::vector<std::thread> painters;
    for (size_t i = 0; redrawn && i < count; ++i) {
        const int left = kDesktop.width() + int(i) * kWidth + 100;
        painters.emplace_back([&painting, display = desktop.display, left] {
            monitortest::TestWindow window(display, QRect(left, 100, 400, 300), 0xFF0000);
            for (uint32_t n = 0; painting; ++n) {
                window.paint(n % 2 ? 0xFF0000 : 0x0000FF);
                std::this_thread::sleep_for(std::chrono::microseconds(33333));
            }
        });
    }
    std::vector<uint64_t> frames0;
    for (const auto &m : models) {
        if (redrawn) {
            const uint64_t before = m->frameSerial();
            waitFor([&m, before] { return m->frameSerial() != before; });
        }
        frames0.push_back(m->frameSerial());
    }
    const double drivers0 = driversCpu();
    const double monitor0 = cpuOfThreads(kMonitorThread);
    const double server0 = cpuOf(desktop.server);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    for (size_t i = 0; i < count; ++i) {
        const double frames = double(models[i]->frameSerial() - frames0[i]);
        f.framesPerSecond.push_back(frames / seconds);
        if (redrawn && frames == 0 && f.nothing.isEmpty())
            f.nothing = QStringLiteral("screen %1 got no frame while its window changed at 30 Hz").arg(i + 1);
    }
    f.driversCpu = (driversCpu() - drivers0) / seconds;
    f.monitorsCpu = (cpuOfThreads(kMonitorThread) - monitor0) / seconds;
    f.serverCpu = (cpuOf(desktop.server) - server0) / seconds;
    painting = false;
    for (std::thread &p : painters)
        p.join();
    // Last started, first stopped: the others never move.
    for (auto job = jobs.rbegin(); job != jobs.rend(); ++job)
        (*job)->stopAndWait(-1);
    return f;
}

int runSeveral(const QString &driver, int most, double seconds)
{
    monitortest::Xvfb x;
    const QString error = x.startExtendable(kDesktop, kRoomForSeveral);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "bench_extend: %s\n", qPrintable(error));
        return 1;
    }
    Desktop desktop;
    desktop.name = QStringLiteral("X11");
    desktop.display = x.display();
    desktop.server = monitortest::childrenNamed(QStringLiteral("Xvfb")).value(0);
    sim::VirtualBus bus;
    auto ctx = std::make_shared<screenlink::UsbContext>();
    std::vector<std::shared_ptr<sim::ScreenModel>> models;
    std::vector<std::shared_ptr<screenlink::Screen>> screens;
    std::vector<QString> keys;
    for (int i = 0; i < most; ++i) {
        models.push_back(std::make_shared<sim::ScreenModel>(*sim::findPreset("6.8in-telv"), 0x51 + uint32_t(i)));
        bus.attach(models.back(), 1, kPort + i);
        screens.push_back(openSimulatedScreen(ctx, kPort + i));
        keys.push_back(QStringLiteral("bench-%1").arg(i + 1));
        if (!screens.back()) {
            std::fprintf(stderr, "bench_extend: no screen at port %d\n", kPort + i);
            return 1;
        }
    }
    std::printf("extend with 1 to %d screens of %dx%d on one X desktop, %s, %.1f s each\n", most, kWidth, kHeight,
                qPrintable(driver), seconds);
    std::printf("%-8s %-16s %-26s %9s %14s %14s %12s\n", "screens", "desktop", "frames/s of each", "lowest",
                "telvdrv CPU*", "monitor jobs*", "X server");
    QStringList failures;
    double oneScreen = 0;
    for (int count = 1; count <= most; ++count) {
        for (bool redrawn : {true, false}) {
            const auto n = size_t(count);
            const SeveralFigures f = measureSeveral(
                driver, desktop, redrawn, seconds, {models.begin(), models.begin() + long(n)},
                {screens.begin(), screens.begin() + long(n)}, {keys.begin(), keys.begin() + long(n)});
            QStringList each;
            for (double rate : f.framesPerSecond)
                each << QString::number(rate, 'f', 1);
            const double lowest = *std::min_element(f.framesPerSecond.begin(), f.framesPerSecond.end());
            if (redrawn && count == 1)
                oneScreen = lowest;
            std::printf("%-8d %-16s %-26s %9.1f %13.1f%% %13.1f%% %11.1f%%\n", count,
                        redrawn ? "windows at 30 Hz" : "still", qPrintable(each.join(QLatin1Char(' '))), lowest,
                        f.driversCpu * 100, f.monitorsCpu * 100, f.serverCpu * 100);
            std::fflush(stdout);
            if (!f.nothing.isEmpty())
                failures << QStringLiteral("%1 screens: %2").arg(count).arg(f.nothing);
            if (redrawn && count > 1 && lowest < oneScreen * 0.9)
                std::printf("         (below 90%% of one screen's %.1f frames/s)\n", oneScreen);
        }
    }
    std::printf("* all drivers together, all monitor jobs together, in shares of one core\n");
    for (const QString &failure : failures)
        std::fprintf(stderr, "bench_extend: delivered nothing: %s\n", qPrintable(failure));
    return failures.isEmpty() ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    // The simulated screen allocates a transfer-sized buffer per transfer;
    // kept in the heap, its pages are not faulted in anew for every frame,
    // which would otherwise weigh on this process's figure depending on
    // how frames are spaced.
    // Set before any thread starts.
    mallopt(M_MMAP_THRESHOLD, 64 << 20); // NOLINT(concurrency-mt-unsafe)
    mallopt(M_TRIM_THRESHOLD, 256 << 20); // NOLINT(concurrency-mt-unsafe)
    QCoreApplication app(argc, argv);
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));
    const double seconds = quick ? 1.5 : 6.0;
    const int at = int(app.arguments().indexOf(QStringLiteral("--driver")));
    const QString driver = at > 0 && at + 1 < app.arguments().size() ? app.arguments().at(at + 1)
                                                                     : QStringLiteral(TELVDRV_PATH);

    if (const int screensAt = int(app.arguments().indexOf(QStringLiteral("--screens")));
        screensAt > 0 && screensAt + 1 < app.arguments().size()) {
        const int most = app.arguments().at(screensAt + 1).toInt();
        if (most < 1 || most > kMostScreens) {
            std::fprintf(stderr, "bench_extend: --screens takes 1 to %d\n", kMostScreens);
            return 2;
        }
        return runSeveral(driver, most, seconds);
    }

    Desktop desktop;
    monitortest::Xvfb x;
    QTemporaryDir config;
    if (app.arguments().contains(QStringLiteral("--wayland"))) {
        desktop.gnome = qEnvironmentVariable("XDG_CURRENT_DESKTOP").contains(QLatin1String("GNOME"));
        desktop.name = desktop.gnome ? QStringLiteral("GNOME") : QStringLiteral("sway");
        desktop.server = inOurSession(desktop.gnome ? "mutter" : "sway");
        desktop.firstPictureUnasked = desktop.gnome;
        if (!qEnvironmentVariableIsSet("WAYLAND_DISPLAY") || desktop.server == 0) {
            std::fprintf(stderr, "bench_extend: --wayland runs inside tests/wayland/wayland-session\n");
            return 1;
        }
        // GNOME's portal asks the user at the first start of each mode; the
        // choices of such a start are remembered instead. With touches, GNOME
        // 43's asks at every start, which nobody here answers: no frame would
        // ever come, so touches stay off as a user without a dialog has them.
        qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
        QString error;
        if (desktop.gnome) {
            desktop.monitors = waylandbed::gnomeMonitors();
            const QString tokens = config.filePath(QStringLiteral("tavrik/screencast-token"));
            QFile conf(config.filePath(QStringLiteral("tavrik/monitor.conf")));
            const QByteArray touchOff("touch=off\n");
            if (desktop.monitors.isEmpty())
                error = QStringLiteral("no GNOME monitors");
            else if (!QDir().mkpath(config.filePath(QStringLiteral("tavrik"))) || !conf.open(QIODevice::WriteOnly)
                     || conf.write(touchOff) != touchOff.size() || !conf.flush())
                error = QStringLiteral("cannot write ") + conf.fileName();
            else
                error = waylandbed::rememberScreenCastChoice(tokens, waylandbed::kVirtualSource);
            if (error.isEmpty())
                error = waylandbed::rememberScreenCastChoice(
                    tokens + QStringLiteral("-mirror"), waylandbed::kMonitorSource, desktop.monitors.front().match);
        }
        if (!error.isEmpty()) {
            std::fprintf(stderr, "bench_extend: %s\n", qPrintable(error));
            return 1;
        }
    } else {
        const QString error = x.startExtendable(kDesktop, kRoom);
        if (!error.isEmpty()) {
            std::fprintf(stderr, "bench_extend: %s\n", qPrintable(error));
            return 1;
        }
        desktop.name = QStringLiteral("X11");
        desktop.display = x.display();
        desktop.server = monitortest::childrenNamed(QStringLiteral("Xvfb")).value(0);
    }
    sim::VirtualBus bus;
    auto model = std::make_shared<sim::ScreenModel>(*sim::findPreset("6.8in-telv"), 0x51);
    bus.attach(model, 1, kPort);
    auto ctx = std::make_shared<screenlink::UsbContext>();
    auto screen = openSimulatedScreen(ctx, kPort);
    if (!screen) {
        std::fprintf(stderr, "bench_extend: no screen\n");
        return 1;
    }

    std::printf("monitor mode with %s, %dx%d screen, %s desktop, %.1f s each\n", qPrintable(driver), kWidth, kHeight,
                qPrintable(desktop.name), seconds);
    std::printf("%-8s %-16s %10s %12s %12s %13s %14s %13s\n", "mode", "desktop", "frames/s", "MB/s on bus",
                "telvdrv CPU", "monitor job", "process CPU*", "server CPU**");
    QStringList failures;
    for (const char *mode : {"extend", "mirror"}) {
        for (bool redrawn : {false, true}) {
            const Figures f = measure(driver, desktop, mode, redrawn, seconds, *model, screen);
            const char *picture = redrawn ? "window at 30 Hz" : "still";
            std::printf("%-8s %-16s %10.1f %12.2f %11.1f%% %12.1f%% %13.1f%% %12.1f%%\n", mode, picture,
                        f.framesPerSecond, f.bytesPerSecond / 1e6, f.driverCpu * 100, f.monitorCpu * 100,
                        f.programCpu * 100, f.serverCpu * 100);
            std::fflush(stdout);
            if (!f.nothing.isEmpty())
                failures << QStringLiteral("%1 on %2, %3, %4: %5")
                                .arg(QFileInfo(driver).fileName(), desktop.name, QLatin1String(mode),
                                     QLatin1String(picture), f.nothing);
        }
    }
    std::printf("* this process: the monitor job and the simulated screen it feeds (umockdev's emulation\n"
                "  thread copies each transfer through a socket)\n"
                "** Xvfb, sway or mutter\n");
    for (const QString &failure : failures)
        std::fprintf(stderr, "bench_extend: delivered nothing: %s\n", qPrintable(failure));
    return failures.isEmpty() ? 0 : 1;
}
