#pragma once

// Runs a boot-loader tool as panelctl does: a separate process that reaches
// the simulated screens through the umockdev preload it inherits.
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <cstdint>
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

inline bool writeFile(const QString &path, const std::vector<uint8_t> &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate)
           && f.write(reinterpret_cast<const char *>(bytes.data()), qint64(bytes.size())) == qint64(bytes.size());
}
