// tavrik-sim: puts simulated screens on an emulated USB bus and runs a
// program under them, like umockdev-run, showing each screen's glass.
#include "buscontrol.h"
#include "screenoption.h"
#include "screenviewer.h"
#include "usb/virtualbus.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QProcess>
#include <QScreen>
#include <QTextStream>

#include <cstdio>
#include <memory>
#include <set>
#include <unistd.h>

using namespace sim;

static int listPresets(QTextStream &out)
{
    for (const Preset &p : presets())
        out << QString::fromStdString(p.name).leftJustified(18) << QString::fromStdString(p.description) << "\n";
    return 0;
}

static constexpr char kPreload[] = "libumockdev-preload.so.0";
// Set while the launcher starts itself again under the preload library.
static constexpr char kRestarted[] = "TAVRIK_SIM_PRELOADED";

// umockdev builds each plug, unplug and restart event from the device's
// sysfs files through libudev, which finds the test bed only under the
// preload library. Without it in this process no other process would hear
// of them, so the launcher starts itself again with it. Returns only when
// that failed.
static int restartUnderPreload(char *argv[], QTextStream &err)
{
    if (qEnvironmentVariableIsSet(kRestarted)) {
        err << "tavrik-sim: umockdev's " << kPreload << " cannot be loaded; is umockdev installed?\n";
        return 1;
    }
    const QByteArray preload = qgetenv("LD_PRELOAD");
    qputenv("LD_PRELOAD", kPreload + (preload.isEmpty() ? QByteArray() : ":" + preload));
    qputenv(kRestarted, "1");
    execv("/proc/self/exe", argv);
    err << "tavrik-sim: cannot start itself again under " << kPreload << "\n";
    return 1;
}

int main(int argc, char *argv[])
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated Tavrik screens on an emulated USB bus. Programs started under it reach\n"
        "the screens through their own, unchanged libusb calls.\n\n"
        "SCREEN is PRESET[@BUS.PORT][:OPTION,...] with the options\n"
        "  debug            the firmware reports itself as a debug build (LOG button)\n"
        "  boot             start in the family's boot loader\n"
        "  silent           answer nothing (requests time out)\n"
        "  slow=MS          answer every request MS milliseconds late\n"
        "  short=N          cut every IN reply to at most N bytes\n"
        "  fail-every=N     stall every Nth request\n"
        "  bulk-accept=N    take at most N bytes of each bulk transfer\n"
        "  reboot-delay=MS  time away from the bus when rebooting (default 1500)\n"
        "  seed=N           unit number: device ID and screen block (1-65535)\n\n"
        "Example: tavrik-sim --screen 6.8in-telv@1.4 -- ./panelctl"));
    const QCommandLineOption helpOpt = parser.addHelpOption();
    QCommandLineOption screenOpt(QStringList{QStringLiteral("s"), QStringLiteral("screen")},
                                 QStringLiteral("Attach a simulated screen (repeatable)."), QStringLiteral("SCREEN"));
    QCommandLineOption listOpt(QStringLiteral("list-presets"), QStringLiteral("List the screen presets and exit."));
    QCommandLineOption noViewerOpt(QStringLiteral("no-viewer"),
                                   QStringLiteral("Do not open the screen windows (no display needed)."));
    QCommandLineOption controlOpt(
        QStringLiteral("control"),
        QStringLiteral("Read bus commands from the named pipe PIPE (made if missing), one a line:\n"
                       "unplug BUS.PORT, plug BUS.PORT, replug BUS.PORT (a power cycle)."),
        QStringLiteral("PIPE"));
    parser.addOption(screenOpt);
    parser.addOption(listOpt);
    parser.addOption(noViewerOpt);
    parser.addOption(controlOpt);
    parser.addPositionalArgument(QStringLiteral("program"), QStringLiteral("Program to run, with its arguments."),
                                 QStringLiteral("[-- program [args...]]"));

    // Standard output belongs to the program started below (a script may
    // parse it); the launcher's own words go to standard error.
    QTextStream out(stdout);
    QTextStream err(stderr);
    // A QApplication aborts without a display, and these two answers and a
    // run without viewers need none. Anything the plain parse cannot place
    // (Qt's own -platform and the like) is left to the QApplication below,
    // which knows it.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const bool parsed = parser.parse(arguments);
    if (parsed && (parser.isSet(helpOpt) || parser.isSet(listOpt))) {
        QCoreApplication core(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("tavrik-sim"));
        parser.process(core); // --help ends here
        return listPresets(out);
    }
    if (!VirtualBus::underPreload())
        return restartUnderPreload(argv, err);
    qunsetenv(kRestarted);

    const bool viewers = !parsed || !parser.isSet(noViewerOpt);
    std::unique_ptr<QCoreApplication> app = viewers ? std::make_unique<QApplication>(argc, argv)
                                                    : std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tavrik-sim"));
    if (viewers)
        QApplication::setQuitOnLastWindowClosed(false);
    parser.process(*app);
    if (parser.isSet(listOpt))
        return listPresets(out);

    QStringList screenTexts = parser.values(screenOpt);
    if (screenTexts.isEmpty())
        screenTexts << QStringLiteral("6.8in-telv@1.4");
    std::vector<ScreenOption> options;
    std::set<std::pair<int, int>> taken;
    for (const QString &text : screenTexts) {
        std::string error;
        auto option = parseScreenOption(text.toStdString(), &error);
        if (!option) {
            err << "tavrik-sim: " << QString::fromStdString(error) << "\n";
            return 2;
        }
        if (option->port != 0 && option->hubs.empty() && !taken.insert({option->bus, option->port}).second) {
            err << "tavrik-sim: two screens on bus " << option->bus << " port " << option->port << "\n";
            return 2;
        }
        options.push_back(*option);
    }
    for (ScreenOption &option : options) {
        for (int port = 1; option.port == 0 && port <= 127; ++port)
            if (taken.insert({option.bus, port}).second)
                option.port = port;
    }

    // The bus comes first: it sets UMOCKDEV_DIR for the program started below.
    VirtualBus bus;
    std::vector<int> slotNumbers;
    uint32_t unit = 1;
    for (const ScreenOption &option : options) {
        const Preset &preset = *findPreset(option.preset);
        auto model = std::make_shared<ScreenModel>(preset, option.seed ? option.seed : unit);
        ++unit;
        if (option.debug)
            model->setIdent(debugIdent(preset.ident));
        if (option.bootLoader)
            model->setMode(preset.family == Family::Telv ? Mode::TelvBootLoader : Mode::K2tBootLoader);
        model->setFaults(option.faults);
        model->setRebootDelayMs(option.rebootDelayMs);
        std::vector<int> path = option.hubs;
        path.push_back(option.port);
        slotNumbers.push_back(bus.attach(model, option.bus, path));
        err << "tavrik-sim: " << QString::fromStdString(option.preset) << " at PHY(" << option.bus;
        for (int port : path)
            err << "." << port;
        err << ")";
        if (option.bootLoader)
            err << " in its boot loader";
        // The firmware server keeps the screen block under this key; a person
        // setting up a stand-in server needs it before the screen loses its firmware.
        if (preset.family == Family::Telv)
            err << ", screen identity " << QString::fromStdString(model->telvIdentity());
        err << "\n";
    }
    // Other programs join the bus this way: `tavrikctl list` beside a panelctl.
    err << "tavrik-sim: more programs on this bus: UMOCKDEV_DIR=" << qEnvironmentVariable("UMOCKDEV_DIR")
        << " umockdev-wrapper PROGRAM\n";
    err.flush();

    BusControl control(bus);
    if (parser.isSet(controlOpt)) {
        QString error;
        if (!control.open(parser.value(controlOpt), &error)) {
            err << "tavrik-sim: " << error << "\n";
            return 2;
        }
    }

    std::vector<std::unique_ptr<ScreenViewer>> screenViewers;
    if (viewers) {
        // Stacked at the right edge of the desktop, beside the program's window.
        const QRect desk = QGuiApplication::primaryScreen()->availableGeometry();
        int y = desk.top();
        for (int slot : slotNumbers) {
            auto v = std::make_unique<ScreenViewer>(bus, slot);
            v->move(std::max(desk.left(), desk.right() - v->width()), std::min(y, desk.bottom() - 120));
            y += v->height() + 30;
            v->show();
            screenViewers.push_back(std::move(v));
        }
    }

    const QStringList program = parser.positionalArguments();
    QProcess child;
    if (program.isEmpty()) {
        err << "tavrik-sim: no program given; the bus stays until this ends\n";
        err.flush();
        if (!screenViewers.empty())
            QApplication::setQuitOnLastWindowClosed(true);
    } else {
        // It inherits the preload library and UMOCKDEV_DIR from this process.
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.setInputChannelMode(QProcess::ForwardedInputChannel);
        child.setProgram(program.first());
        child.setArguments(program.mid(1));
        QObject::connect(&child, &QProcess::finished, app.get(), [](int code, QProcess::ExitStatus status) {
            QCoreApplication::exit(status == QProcess::NormalExit ? code : 1);
        });
        QObject::connect(&child, &QProcess::errorOccurred, app.get(), [&](QProcess::ProcessError e) {
            if (e == QProcess::FailedToStart) {
                err << "tavrik-sim: cannot start " << program.first() << "\n";
                err.flush();
                QCoreApplication::exit(127);
            }
        });
        child.start();
    }
    const int code = app->exec();
    if (child.state() != QProcess::NotRunning) {
        child.terminate();
        if (!child.waitForFinished(3000))
            child.kill();
        child.waitForFinished(1000);
    }
    screenViewers.clear();
    return code;
}
