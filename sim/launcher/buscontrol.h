#pragma once

#include "usb/virtualbus.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

namespace sim {

// Bus commands read from a named pipe, one a line (see parseBusCommand), for
// scripts and tests, which cannot press the viewers' buttons. The launcher
// keeps the pipe open for reading and writing, so that writers may come and
// go without ending it.
class BusControl : public QObject {
    Q_OBJECT

public:
    explicit BusControl(VirtualBus &bus, QObject *parent = nullptr);
    ~BusControl() override;
    BusControl(const BusControl &) = delete;
    BusControl &operator=(const BusControl &) = delete;

    // Opens `path`, making the pipe when there is nothing there. False, with
    // the reason, when it cannot be opened or is something else.
    bool open(const QString &path, QString *error);
    // Carries out one command; the reason when it is refused, else empty.
    QString run(const QString &line);

private:
    void readPipe();

    VirtualBus &m_bus;
    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QByteArray m_pending;
};

} // namespace sim
