#include "identify.h"

#include "bridge.h"
#include "requests.h"

#include <QStringList>

namespace screenlink {

namespace {

uint32_t readConfig32(Screen &screen, uint8_t addressLow)
{
    const uint8_t command[5] = {kConfigMemory, 0x02, 0x04, 0x1F, addressLow};
    uint8_t reply[5] = {};
    // A read a busy bus let time out would make the panel another model;
    // a screen that never answers keeps the zeros.
    for (int tries = 0; tries < 3; ++tries)
        if (bridgeRead(screen, command, sizeof command, reply, sizeof reply, kDisplayTimeoutMs) == int(sizeof reply))
            break;
    return uint32_t(reply[1]) | uint32_t(reply[2]) << 8 | uint32_t(reply[3]) << 16 | uint32_t(reply[4]) << 24;
}

} // namespace

QString identifyScreen(Screen &screen, ScreenGeometry &geometry, QString *identString)
{
    const uint32_t sizeCode = readConfig32(screen, 0xFC);
    const int32_t variantCode = int32_t(readConfig32(screen, 0xF8));
    uint8_t text[128] = {};
    screen.readIdentString(text);
    const char *chars = reinterpret_cast<const char *>(text);
    const QString ident = QString::fromUtf8(chars, int(qstrnlen(chars, kIdentLength)));
    if (identString)
        *identString = ident;
    return applyModelTable(geometry, sizeCode, variantCode, ident);
}

std::optional<int> firmwareMinor(const QString &identification)
{
    const int at = identification.indexOf(QLatin1String("v0."));
    if (at < 0)
        return std::nullopt;
    return identification.mid(at + 3).section(QLatin1Char(','), 0, 0).toInt(nullptr, 10);
}

std::optional<QSize> screenSizeFromInformation(const QString &information)
{
    const QStringList fields = information.split(QLatin1Char(','), Qt::KeepEmptyParts);
    if (fields.size() < 2)
        return std::nullopt;
    const QStringList parts = fields[1].split(QLatin1Char('x'), Qt::KeepEmptyParts);
    if (parts.size() < 2)
        return std::nullopt;
    return QSize(parts[0].toInt(nullptr, 10), parts[1].toInt(nullptr, 10));
}

} // namespace screenlink
