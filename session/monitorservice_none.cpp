#include "monitorservice.h"

// Windows has no session bus: no service runs there.
namespace session::monitorservice {

QString startAdvice()
{
    return QStringLiteral("remembered screens are shown by the monitor service, which runs on Linux only");
}

bool running()
{
    return false;
}

std::optional<std::vector<AutoScreenState>> screens(QString *why)
{
    if (why)
        *why = QStringLiteral("the monitor service runs on Linux only");
    return std::nullopt;
}

bool reload(bool)
{
    return false;
}

bool letGo(const QString &)
{
    return false;
}

void takeBack(const QString &) {}

Watch::Watch(QObject *parent) : QObject(parent) {}

bool quit()
{
    return false;
}

} // namespace session::monitorservice
