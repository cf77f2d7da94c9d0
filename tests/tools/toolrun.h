#pragma once

// Runs a boot-loader tool as panelctl does: a separate process that reaches
// the simulated screens through the umockdev preload it inherits.
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <vector>

struct ToolRun {
    bool finished = false;
    int exitCode = -1;
    QString out; // standard output, or both channels when merged
    QString err;
    qint64 ms = 0;

    bool saysError() const { return out.contains(QStringLiteral("ERROR")) || out.contains(QStringLiteral("error")); }
};

inline ToolRun runTool(const QString &program, const QStringList &args, bool merged = false, int timeoutMs = 30000)
{
    QProcess p;
    p.setProcessChannelMode(merged ? QProcess::MergedChannels : QProcess::SeparateChannels);
    QElapsedTimer timer;
    timer.start();
    p.start(program, args);
    ToolRun r;
    r.finished = p.waitForFinished(timeoutMs);
    if (!r.finished) {
        p.kill();
        p.waitForFinished(3000);
    }
    r.ms = timer.elapsed();
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    if (!merged)
        r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

inline QString describe(const ToolRun &r)
{
    return QStringLiteral("exit %1 after %2 ms, output:\n%3%4").arg(r.exitCode).arg(r.ms).arg(r.out, r.err);
}

// A run of a tool that must fail: `arrange` sets the screen up for it
// first, and the output names `mentions` (where it went wrong, or the usage).
struct FailingRun {
    QString what;
    QStringList args;
    std::function<void()> arrange;
    QString mentions;
};

// Runs each in turn, `after` after each. Every run must end by itself with
// a nonzero exit code, "ERROR" and its `mentions` in its output (standard
// output alone unless `merged`, as panelctl reads it), and whatever `check`
// adds (it returns what is wrong, or nothing). Returns what went wrong,
// run by run; empty when every run failed as it should.
inline QString runFailing(const QString &program, const std::vector<FailingRun> &runs, bool merged = true,
                          const std::function<QString(const ToolRun &)> &check = {},
                          const std::function<void()> &after = {})
{
    QStringList wrong;
    for (const FailingRun &run : runs) {
        if (run.arrange)
            run.arrange();
        const ToolRun r = runTool(program, run.args, merged);
        QString why;
        if (!r.finished)
            why = QStringLiteral("did not end");
        else if (r.exitCode == 0)
            why = QStringLiteral("exit code 0");
        else if (!r.out.contains(QStringLiteral("ERROR")))
            why = QStringLiteral("no ERROR");
        else if (!r.out.contains(run.mentions))
            why = QStringLiteral("does not name %1").arg(run.mentions);
        else if (check)
            why = check(r);
        if (!why.isEmpty())
            wrong << QStringLiteral("%1 (%2): %3; %4").arg(run.what, run.args.join(QLatin1Char(' ')), why, describe(r));
        if (after)
            after();
    }
    return wrong.join(QLatin1Char('\n'));
}

inline bool writeFile(const QString &path, const std::vector<uint8_t> &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate)
           && f.write(reinterpret_cast<const char *>(bytes.data()), qint64(bytes.size())) == qint64(bytes.size());
}
