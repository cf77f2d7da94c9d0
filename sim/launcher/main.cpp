// tavrik-sim: puts simulated screens on an emulated USB bus and runs a
// program under them, like umockdev-run, showing each screen's glass.
#include "screenoption.h"
#include "screenviewer.h"
#include "usb/virtualbus.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>
#include <QTextStream>

#include <cstdio>
#include <set>

using namespace sim;

static int listPresets(QTextStream &out)
{
    for (const Preset &p : presets())
        out << QString::fromStdString(p.name).leftJustified(18) << QString::fromStdString(p.description) << "\n";
    return 0;
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
    QCommandLineOption noViewerOpt(QStringLiteral("no-viewer"), QStringLiteral("Do not open the screen windows."));
    parser.addOption(screenOpt);
    parser.addOption(listOpt);
    parser.addOption(noViewerOpt);
    parser.addPositionalArgument(QStringLiteral("program"), QStringLiteral("Program to run, with its arguments."),
                                 QStringLiteral("[-- program [args...]]"));

    QTextStream out(stdout);
    QTextStream err(stderr);
    // A QApplication aborts without a display, and these two answers need
    // none. Anything the plain parse cannot place (Qt's own -platform and
    // the like) is left to the QApplication below, which knows it.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (parser.parse(arguments) && (parser.isSet(helpOpt) || parser.isSet(listOpt))) {
        QCoreApplication core(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("tavrik-sim"));
        parser.process(core); // --help ends here
        return listPresets(out);
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tavrik-sim"));
    QApplication::setQuitOnLastWindowClosed(false);
    parser.process(app);
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
        if (option->port != 0 && !taken.insert({option->bus, option->port}).second) {
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
        slotNumbers.push_back(bus.attach(model, option.bus, option.port));
        out << "tavrik-sim: " << QString::fromStdString(option.preset) << " at PHY(" << option.bus << "." << option.port
            << ")";
        if (option.bootLoader)
            out << " in its boot loader";
        // The firmware server keeps the screen block under this key; a person
        // setting up a stand-in server needs it before the screen loses its firmware.
        if (preset.family == Family::Telv)
            out << ", screen identity " << QString::fromStdString(model->telvIdentity());
        out << "\n";
    }
    out.flush();

    std::vector<std::unique_ptr<ScreenViewer>> viewers;
    if (!parser.isSet(noViewerOpt)) {
        // Stacked at the right edge of the desktop, beside the program's window.
        const QRect desk = QGuiApplication::primaryScreen()->availableGeometry();
        int y = desk.top();
        for (int slot : slotNumbers) {
            auto v = std::make_unique<ScreenViewer>(bus, slot);
            v->move(std::max(desk.left(), desk.right() - v->width()), std::min(y, desk.bottom() - 120));
            y += v->height() + 30;
            v->show();
            viewers.push_back(std::move(v));
        }
    }

    const QStringList program = parser.positionalArguments();
    QProcess child;
    if (program.isEmpty()) {
        out << "tavrik-sim: no program given; to run one by hand:\n"
            << "  UMOCKDEV_DIR=" << qEnvironmentVariable("UMOCKDEV_DIR") << " umockdev-wrapper PROGRAM\n";
        out.flush();
        QApplication::setQuitOnLastWindowClosed(true);
        if (viewers.empty())
            return app.exec();
    } else {
        const QString wrapper = QStandardPaths::findExecutable(QStringLiteral("umockdev-wrapper"));
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.setInputChannelMode(QProcess::ForwardedInputChannel);
        if (wrapper.isEmpty()) {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            const QString preload = env.value(QStringLiteral("LD_PRELOAD"));
            env.insert(QStringLiteral("LD_PRELOAD"),
                       QStringLiteral("libumockdev-preload.so.0") + (preload.isEmpty() ? QString() : ":" + preload));
            child.setProcessEnvironment(env);
            child.setProgram(program.first());
            child.setArguments(program.mid(1));
        } else {
            child.setProgram(wrapper);
            child.setArguments(program);
        }
        QObject::connect(&child, &QProcess::finished, &app, [&app](int code, QProcess::ExitStatus status) {
            app.exit(status == QProcess::NormalExit ? code : 1);
        });
        QObject::connect(&child, &QProcess::errorOccurred, &app, [&](QProcess::ProcessError e) {
            if (e == QProcess::FailedToStart) {
                err << "tavrik-sim: cannot start " << program.first() << "\n";
                err.flush();
                app.exit(127);
            }
        });
        child.start();
    }
    const int code = app.exec();
    if (child.state() != QProcess::NotRunning) {
        child.terminate();
        if (!child.waitForFinished(3000))
            child.kill();
        child.waitForFinished(1000);
    }
    viewers.clear();
    return code;
}
