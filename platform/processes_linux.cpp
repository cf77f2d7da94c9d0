// Processes are found through /proc: by the file name of their executable,
// and their children by the parent recorded in each process's stat line.
#include "processes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <map>
#include <set>
#include <vector>

#include <csignal>
#include <unistd.h>

namespace platform {

namespace {

QList<qint64> allPids()
{
    QList<qint64> pids;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (ok && pid > 0)
            pids << pid;
    }
    return pids;
}

QString imageOf(qint64 pid)
{
    // The link names the file the process runs, whatever it calls itself;
    // a file replaced since (a rebuild) reads "... (deleted)".
    char buf[4096];
    const QByteArray link = QStringLiteral("/proc/%1/exe").arg(pid).toLocal8Bit();
    const ssize_t n = readlink(link.constData(), buf, sizeof buf);
    if (n <= 0 || size_t(n) >= sizeof buf)
        return {};
    QString target = QString::fromLocal8Bit(buf, int(n));
    const QLatin1String deleted(" (deleted)");
    if (target.endsWith(deleted))
        target.chop(deleted.size());
    return QFileInfo(target).fileName();
}

// Parent of `pid` from its stat line, -1 when it cannot be read. The
// command name in parentheses may hold spaces and parentheses itself, so
// the fields are counted from the last ')'.
qint64 parentOf(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = stat.readAll();
    const int close = line.lastIndexOf(')');
    if (close < 0)
        return -1;
    const QList<QByteArray> fields = line.mid(close + 1).trimmed().split(' ');
    if (fields.size() < 2)
        return -1;
    bool ok = false;
    const qint64 parent = fields[1].toLongLong(&ok);
    return ok ? parent : -1;
}

std::set<qint64> withDescendants(const QList<qint64> &roots)
{
    std::multimap<qint64, qint64> children;
    for (qint64 pid : allPids())
        children.emplace(parentOf(pid), pid);
    std::set<qint64> tree;
    std::vector<qint64> todo(roots.begin(), roots.end());
    while (!todo.empty()) {
        const qint64 pid = todo.back();
        todo.pop_back();
        if (!tree.insert(pid).second)
            continue;
        const auto [first, last] = children.equal_range(pid);
        for (auto it = first; it != last; ++it)
            todo.push_back(it->second);
    }
    return tree;
}

} // namespace

QList<qint64> findProcesses(const QString &imageName)
{
    QList<qint64> found;
    if (imageName.isEmpty())
        return found;
    const qint64 self = getpid();
    for (qint64 pid : allPids())
        if (pid != self && imageOf(pid) == imageName)
            found << pid;
    return found;
}

void endProcessTrees(const QString &imageName)
{
    const QList<qint64> roots = findProcesses(imageName);
    if (roots.isEmpty())
        return;
    // Stopped first, so that none of them starts another child between the
    // look at the process table and the kill.
    for (qint64 pid : roots)
        kill(pid_t(pid), SIGSTOP);
    const qint64 self = getpid();
    for (qint64 pid : withDescendants(roots))
        if (pid != self)
            kill(pid_t(pid), SIGKILL);
}

} // namespace platform
