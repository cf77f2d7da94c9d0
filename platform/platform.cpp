#include "platform.h"

namespace platform {

QString exeSuffix()
{
#ifdef Q_OS_WIN
    return QStringLiteral(".exe");
#else
    return QString();
#endif
}

} // namespace platform
