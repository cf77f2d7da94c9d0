#include "screeninfo.h"

#include <algorithm>

namespace session {

using namespace screenlink;

QString ScreenInfo::firmwareVersion() const
{
    // The field that is "v" and a digit, wherever the model puts it.
    for (const QString &field : identString.split(QLatin1Char(','))) {
        const QString f = field.trimmed();
        if (f.size() > 1 && f[0] == QLatin1Char('v') && f[1].isDigit())
            return f;
    }
    return {};
}

QString ScreenInfo::modelName() const
{
    if (!geometry.model)
        return QStringLiteral("unknown");
    const ModelRow &row = *geometry.model;
    switch (row.text) {
    case ModelText::Telv: return QStringLiteral("TELV ") + QString::fromLatin1(row.words).remove(QLatin1Char(',')).trimmed();
    case ModelText::Fixed: return QString::fromLatin1(row.words).section(QLatin1Char(','), -1).trimmed();
    case ModelText::Unknown: break;
    }
    return QStringLiteral("unknown");
}

bool ScreenInfo::debugFirmware() const
{
    return identification.contains(QLatin1String("DEBUG"));
}

fwimage::FirmwareFamily ScreenInfo::family() const
{
    using fwimage::FirmwareFamily;
    switch (kind) {
    case DeviceKind::TelvBootLoader: return FirmwareFamily::Telv;
    case DeviceKind::K2tBootLoader: return FirmwareFamily::K2t;
    case DeviceKind::RunningScreen:
    case DeviceKind::Other: break;
    }
    if (geometry.model && geometry.model->text != ModelText::Unknown)
        return geometry.model->telv ? FirmwareFamily::Telv : FirmwareFamily::K2t;
    return identification.contains(QLatin1String("TELV")) ? FirmwareFamily::Telv : FirmwareFamily::K2t;
}

QString ScreenInfo::stateText() const
{
    if (access == Access::InUse && showingDesktop)
        return QStringLiteral("monitor");
    if (access == Access::InUse)
        return QStringLiteral("in use");
    switch (kind) {
    case DeviceKind::RunningScreen: return QStringLiteral("running");
    case DeviceKind::TelvBootLoader: return QStringLiteral("TELV boot loader");
    case DeviceKind::K2tBootLoader: return QStringLiteral("K2T/K5TX boot loader");
    case DeviceKind::Other: break;
    }
    return QStringLiteral("other");
}

QString ScreenInfo::stateKey() const
{
    if (access == Access::InUse && showingDesktop)
        return QStringLiteral("monitor");
    if (access == Access::InUse)
        return QStringLiteral("in-use");
    switch (kind) {
    case DeviceKind::RunningScreen: return QStringLiteral("running");
    case DeviceKind::TelvBootLoader: return QStringLiteral("telv-boot-loader");
    case DeviceKind::K2tBootLoader: return QStringLiteral("k2t-boot-loader");
    case DeviceKind::Other: break;
    }
    return QStringLiteral("other");
}

QString ScreenInfo::portText(const std::vector<ScreenInfo> &all) const
{
    std::vector<PortPath> ports;
    ports.reserve(all.size());
    for (const ScreenInfo &s : all)
        ports.push_back(s.port);
    return port.text(ports);
}

QString ScreenInfo::label(const std::vector<ScreenInfo> &all) const
{
    const QString where = portText(all);
    return deviceId.isEmpty() ? where : where + QLatin1Char(' ') + deviceId;
}

bool ScreenInfo::namedBy(const QString &wanted) const
{
    return port.namedBy(wanted) || (!deviceId.isEmpty() && deviceId == wanted.trimmed());
}

bool isPortText(const QString &text)
{
    return parsePortPath(text).has_value();
}

} // namespace session
