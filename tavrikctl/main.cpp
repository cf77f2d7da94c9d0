// tavrikctl: every screen job from a terminal and from scripts, on many
// screens at once.
#include "commandline.h"
#include "console.h"
#include "fleet.h"
#include "jobs.h"
#include "monitorcmd.h"
#include "upgraderun.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QTimer>

#include <algorithm>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

using namespace tavrikctl;

namespace {

std::atomic<int> g_interrupts{0};

void onInterrupt()
{
    g_interrupts.fetch_add(1);
}

void out(const QString &text)
{
    std::fputs(qPrintable(text), stdout);
    std::fflush(stdout);
}

void err(const QString &text)
{
    std::fprintf(stderr, "tavrikctl: %s\n", qPrintable(text));
}

// The quick jobs, one thread per screen, their results in the screens' order.
int runJobs(const Command &command, const std::vector<session::ScreenInfo> &screens,
            const std::vector<session::ScreenInfo> &attached, const session::ScreenBus &bus)
{
    std::vector<JobResult> results(screens.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < screens.size(); ++i) {
        Command own = command;
        if (command.name == QLatin1String("log") && !logToStandardOutput(command))
            own.arguments = {logPath(command.arguments.value(0, QStringLiteral("screen.txt")), screens[i],
                                     screens.size() > 1)};
        threads.emplace_back([&results, &screens, &bus, own, i] {
            results[i] = runJob(own, screens[i], bus, g_interrupts);
        });
    }
    for (std::thread &t : threads)
        t.join();
    int failed = 0;
    bool stopped = false;
    for (size_t i = 0; i < screens.size(); ++i) {
        stopped = stopped || results[i].stopped;
        failed += results[i].ok ? 0 : 1;
    }
    const int code = failed > 0 ? SomeFailed : stopped ? Interrupted : Done;
    // identify's fields are what it is asked for, not a result line.
    const bool resultLines = !command.json && (!command.quiet || command.name == QLatin1String("identify"));
    QJsonArray rows;
    for (size_t i = 0; i < screens.size(); ++i) {
        const JobResult &r = results[i];
        if (command.json)
            rows.append(jobJson(screens[i], attached, r));
        if (!r.ok) {
            err(QStringLiteral("%1: %2").arg(label(screens[i], attached), r.message));
        } else if (logToStandardOutput(command)) {
            std::fwrite(r.log.constData(), 1, size_t(r.log.size()), stdout);
            std::fflush(stdout);
        } else if (resultLines) {
            out(QStringLiteral("%1: %2\n").arg(label(screens[i], attached), r.message));
        }
    }
    if (command.json)
        out(QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("screens"), rows},
                                                        {QStringLiteral("exit_code"), code}})
                                  .toJson(QJsonDocument::Indented)));
    return code;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // The libraries' diagnostics would break up the progress lines and the
    // listings scripts parse; --verbose and QT_LOGGING_RULES bring them back.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    QStringList args = QCoreApplication::arguments();
    args.removeFirst();
    // Not in --help: the build writes the manual page and the completion with them.
    if (args == QStringList{QStringLiteral("--manual-page")}) {
        out(manualPage());
        return Done;
    }
    if (args == QStringList{QStringLiteral("--bash-completion")}) {
        out(bashCompletion());
        return Done;
    }
    const Parsed parsed = parseCommandLine(args);
    if (!parsed.command) {
        err(parsed.error + QStringLiteral("\nTry 'tavrikctl --help'."));
        return Usage;
    }
    const Command &command = *parsed.command;
    if (command.help) {
        out(helpText(command.name));
        return Done;
    }
    if (command.version) {
        out(versionText() + QLatin1Char('\n'));
        return Done;
    }
    if (command.verbose)
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=true"));

    if (const QString wrong = argumentFileError(command); !wrong.isEmpty()) {
        err(wrong);
        return Usage;
    }

    if (command.name == QLatin1String("monitor")) {
        const MonitorOutcome outcome = runMonitor(command);
        if (command.listMonitor || !command.quiet)
            out(outcome.out);
        if (!outcome.err.isEmpty())
            err(outcome.err);
        return outcome.code;
    }

    // A hang-up (the terminal or SSH session gone) and a polite kill stop as
    // Ctrl-C does: never in the middle of a write.
    platform::catchStopRequests(onInterrupt);
    const session::ScreenBus bus;
    if (!bus.usable()) {
        err(bus.error());
        return NoScreen;
    }
    // Screens named by port alone need no look at the others.
    const bool byPortOnly = namesOnlyPorts(command.screens);
    const QStringList named = command.screens;
    std::vector<session::ScreenInfo> attached = bus.list([byPortOnly, &named](const session::ScreenInfo &s) {
        return !byPortOnly || std::any_of(named.begin(), named.end(), [&s](const QString &w) { return s.namedBy(w); });
    });
    const bool list = command.name == QLatin1String("list");
    if (list && command.screens.isEmpty()) {
        out(command.json ? listJson(attached) : listText(attached));
        return Done;
    }
    const Selection chosen = select(attached, command.screens, command.all);
    if (!chosen.error.isEmpty()) {
        // The list of what is attached tells each screen whole, not only as
        // far as the look at the named ports went.
        const Selection told = chosen.noScreen && byPortOnly && !attached.empty()
                                   ? select(bus.list([](const session::ScreenInfo &) { return true; }),
                                            command.screens, command.all)
                                   : chosen;
        err(told.error.isEmpty() ? chosen.error : told.error);
        return chosen.noScreen ? NoScreen : Usage;
    }
    if (list) {
        out(command.json ? listJson(chosen.screens, attached) : listText(chosen.screens, attached));
        return Done;
    }
    if (command.name != QLatin1String("upgrade")) {
        std::vector<session::ScreenInfo> screens = chosen.screens;
        // --all means every running screen for jobs a boot loader cannot do.
        if (command.all)
            screens.erase(std::remove_if(screens.begin(), screens.end(),
                                         [](const session::ScreenInfo &s) { return !s.running(); }),
                          screens.end());
        if (screens.empty()) {
            err(QStringLiteral("no running screen is attached"));
            return NoScreen;
        }
        if (logToStandardOutput(command) && screens.size() > 1) {
            err(QStringLiteral("log - takes one screen: the logs of %1 would run together; name a FILE, which each "
                               "screen gets with its device ID").arg(screens.size()));
            return Usage;
        }
        return runJobs(command, screens, attached, bus);
    }

    UpgradeRun run(command, chosen.screens, attached, bus, g_interrupts);
    const int early = run.start();
    if (early >= 0)
        return early;
    int code = Done;
    QObject::connect(&run, &UpgradeRun::finished, &app, [&code, &app](int exitCode) {
        code = exitCode;
        app.quit();
    });
    app.exec();
    return code;
}
