#include "devicelist.h"

namespace screenlink {

DeviceKind deviceKind(uint16_t vendorId, uint16_t productId)
{
    const UsbId id{vendorId, productId};
    if (id == kRunningScreenId)
        return DeviceKind::RunningScreen;
    if (id == kK2tBootLoaderId)
        return DeviceKind::K2tBootLoader;
    if (id == kTelvBootLoaderId)
        return DeviceKind::TelvBootLoader;
    return DeviceKind::Other;
}

UsbId usbId(DeviceKind kind)
{
    switch (kind) {
    case DeviceKind::RunningScreen: return kRunningScreenId;
    case DeviceKind::K2tBootLoader: return kK2tBootLoaderId;
    case DeviceKind::TelvBootLoader: return kTelvBootLoaderId;
    case DeviceKind::Other: break;
    }
    return kNoScreenId;
}

QString kindWord(DeviceKind kind)
{
    switch (kind) {
    case DeviceKind::RunningScreen: return QStringLiteral("SCREEN");
    case DeviceKind::K2tBootLoader: return QStringLiteral("K2T");
    case DeviceKind::TelvBootLoader: return QStringLiteral("TELV");
    case DeviceKind::Other: break;
    }
    return {};
}

QString phyText(int bus, int port)
{
    return QStringLiteral("PHY(%1.%2)").arg(bus).arg(port);
}

QString phyText(libusb_device *device)
{
    return phyText(libusb_get_bus_number(device), libusb_get_port_number(device));
}

void parsePhyText(const QString &key, int *bus, int *port)
{
    *bus = key.section(QLatin1Char('('), 1, 1).section(QLatin1Char('.'), 0, 0).toInt(nullptr, 10);
    *port = key.section(QLatin1Char('.'), 1, 1).section(QLatin1Char(')'), 0, 0).toInt(nullptr, 10);
}

QString entryField(const QString &entry, int index)
{
    return entry.section(QLatin1Char(','), index, index);
}

QStringList matchListedEntries(const QStringList &listed, QStringList &pending)
{
    constexpr int kSlot = 16; // a port text is at most 12 characters
    QStringList gone;
    for (const QString &entry : listed) {
        QString lookup;
        for (const QString &p : pending)
            lookup += entryField(p, 2).leftJustified(kSlot, QLatin1Char(' '), true);
        const QString port = entryField(entry, 2);
        const int at = port.isEmpty() ? -1 : lookup.indexOf(port);
        if (at < 0)
            gone << entry;
        else
            pending.removeAt(at / kSlot);
    }
    return gone;
}

QString listedName(const QString &identification)
{
    const QStringList fields = identification.split(QLatin1Char(','));
    return (fields.size() > 3 ? fields.at(3) : fields.last()).trimmed();
}

} // namespace screenlink
