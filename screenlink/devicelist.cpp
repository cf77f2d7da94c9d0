#include "devicelist.h"

#include <QByteArray>
#include <QHash>

#include <algorithm>

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

PortPath PortPath::of(libusb_device *device)
{
    PortPath p;
    p.bus = libusb_get_bus_number(device);
    uint8_t numbers[8] = {}; // USB 3 allows a depth of 7
    const int n = libusb_get_port_numbers(device, numbers, int(sizeof numbers));
    if (n > 0)
        p.ports.assign(numbers, numbers + n);
    else
        p.ports = {libusb_get_port_number(device)};
    return p;
}

DeviceKind BusDevice::kind() const
{
    return deviceKind(id);
}

QString PortPath::shortText() const
{
    return phyText(bus, lastPort());
}

QString PortPath::fullText() const
{
    QString text = QStringLiteral("PHY(%1").arg(bus);
    for (uint8_t port : ports)
        text += QLatin1Char('.') + QString::number(port);
    return text + QLatin1Char(')');
}

QString PortPath::text(const std::vector<PortPath> &all) const
{
    const bool shared = std::any_of(all.begin(), all.end(), [this](const PortPath &o) {
        return o != *this && o.bus == bus && o.lastPort() == lastPort();
    });
    return shared ? fullText() : shortText();
}

std::string PortPath::holdName() const
{
    // A bus umockdev simulates (its testbed folder) is a machine of its own:
    // two simulated buses side by side must not share their ports' holds.
    std::string name = "usb";
    if (const QByteArray testbed = qgetenv("UMOCKDEV_DIR"); !testbed.isEmpty())
        name += '@' + QByteArray::number(qHash(testbed), 16).toStdString();
    name += '-' + std::to_string(bus);
    for (size_t i = 0; i < ports.size(); ++i)
        name += (i == 0 ? '-' : '.') + std::to_string(ports[i]);
    return name;
}

bool PortPath::namedBy(const QString &text) const
{
    const std::optional<PortPath> named = parsePortPath(text);
    if (!named || named->bus != bus)
        return false;
    return named->ports == ports || (named->ports.size() == 1 && named->ports.front() == lastPort());
}

std::optional<PortPath> parsePortPath(const QString &text)
{
    QString inner = text.trimmed();
    if (inner.startsWith(QLatin1String("PHY(")) && inner.endsWith(QLatin1Char(')')))
        inner = inner.mid(4, inner.size() - 5);
    const QStringList parts = inner.split(QLatin1Char('.'));
    if (parts.size() < 2 || parts.size() > 8)
        return std::nullopt;
    PortPath p;
    bool ok = false;
    p.bus = parts.front().toInt(&ok, 10);
    if (!ok || p.bus < 0 || parts.front().startsWith(QLatin1Char('+')))
        return std::nullopt;
    for (qsizetype i = 1; i < parts.size(); ++i) {
        const uint port = parts[i].toUInt(&ok, 10);
        if (!ok || port < 1 || port > 255 || parts[i].startsWith(QLatin1Char('+')))
            return std::nullopt;
        p.ports.push_back(uint8_t(port));
    }
    return p;
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
