#include "buscontrol.h"

#include "screenoption.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstdio>
#include <system_error>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

// Longer lines are no command; what is kept of one is bounded.
constexpr qsizetype kMaxLine = 256;

QString systemError()
{
    return QString::fromStdString(std::generic_category().message(errno));
}

} // namespace

BusControl::BusControl(VirtualBus &bus, QObject *parent) : QObject(parent), m_bus(bus) {}

BusControl::~BusControl()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool BusControl::open(const QString &path, QString *error)
{
    const QByteArray name = path.toLocal8Bit();
    if (mkfifo(name.constData(), 0600) != 0 && errno != EEXIST) {
        *error = QStringLiteral("cannot make the pipe %1: %2").arg(path, systemError());
        return false;
    }
    const int fd = ::open(name.constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        *error = fd < 0 ? QStringLiteral("cannot open %1: %2").arg(path, systemError())
                        : QStringLiteral("%1 is not a named pipe").arg(path);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    m_fd = fd;
    m_notifier = new QSocketNotifier(qintptr(m_fd), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &BusControl::readPipe);
    return true;
}

void BusControl::readPipe()
{
    char buffer[512];
    ssize_t n;
    while ((n = ::read(m_fd, buffer, sizeof buffer)) > 0)
        m_pending.append(buffer, qsizetype(n));
    qsizetype end;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(m_pending.left(end)).trimmed();
        m_pending.remove(0, end + 1);
        if (line.isEmpty())
            continue;
        const QString refused = run(line);
        if (!refused.isEmpty())
            std::fprintf(stderr, "tavrik-sim: %s\n", qPrintable(refused));
    }
    if (m_pending.size() > kMaxLine) {
        std::fprintf(stderr, "tavrik-sim: a command line longer than %d bytes was dropped\n", int(kMaxLine));
        m_pending.clear();
    }
}

QString BusControl::run(const QString &line)
{
    std::string error;
    const auto command = parseBusCommand(line.toStdString(), &error);
    if (!command)
        return QString::fromStdString(error);
    for (int slot = 0; slot < m_bus.slotCount(); ++slot) {
        std::vector<int> path = command->hubs;
        path.push_back(command->port);
        if (m_bus.busNumber(slot) != command->bus || m_bus.portPath(slot) != path)
            continue;
        switch (command->action) {
        case BusCommand::Action::Unplug: m_bus.unplug(slot); break;
        case BusCommand::Action::Plug: m_bus.plug(slot); break;
        case BusCommand::Action::Replug: m_bus.replug(slot); break;
        }
        return {};
    }
    return QStringLiteral("no screen at PHY(%1.%2)").arg(command->bus).arg(command->port);
}

} // namespace sim
