#pragma once

#include "autoshow.h"

#include <QObject>
#include <QString>

#include <optional>
#include <vector>

// The per-user monitor service as the other programs reach it over the
// session bus. Where there is no such service (no session bus, Windows) the
// calls answer that it is not running.
namespace session::monitorservice {

bool running();
// What to do when it is not running, for the user to read.
QString startAdvice();
// What it shows; nullopt with `why` when it cannot be asked.
std::optional<std::vector<AutoScreenState>> screens(QString *why = nullptr);
// It reads monitor.conf again; false when it is not running. A window
// need not `wait`: letting a screen go may take the service seconds, and
// what changed comes back through Watch. A program about to end must, or
// the call may never leave it.
bool reload(bool wait = true);
// Asks it to let the screen (device ID or port text) go for this process,
// until takeBack() or this process leaves the bus. True when it did.
bool letGo(const QString &key);
void takeBack(const QString &key);
// Ends it for this login; false when it was not running.
bool quit();

// Tells when what the service shows may have changed: it came, went, or
// said so.
class Watch : public QObject {
    Q_OBJECT

public:
    explicit Watch(QObject *parent = nullptr);

signals:
    void changed();
};

} // namespace session::monitorservice
