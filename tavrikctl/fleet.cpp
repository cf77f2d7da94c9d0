#include "fleet.h"

#include "discovery.h"
#include "screen.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <algorithm>
#include <utility>

namespace tavrikctl {

using namespace screenlink;

namespace {

// The panel as the model table names it.
QString modelName(const ScreenGeometry &g)
{
    if (!g.model)
        return QStringLiteral("unknown");
    const ModelRow &row = *g.model;
    switch (row.text) {
    case ModelText::Telv: return QStringLiteral("TELV ") + QString::fromLatin1(row.words).remove(QLatin1Char(',')).trimmed();
    case ModelText::Fixed: return QString::fromLatin1(row.words).section(QLatin1Char(','), -1).trimmed();
    case ModelText::Unknown: break;
    }
    return QStringLiteral("unknown");
}

// The version field of the screen's own string: "v" and a digit first.
QString firmwareVersion(const QString &identString)
{
    for (const QString &field : identString.split(QLatin1Char(','))) {
        const QString f = field.trimmed();
        if (f.size() > 1 && f[0] == QLatin1Char('v') && f[1].isDigit())
            return f;
    }
    return {};
}

} // namespace

QString portOf(const QString &wanted)
{
    static const QRegularExpression port(QStringLiteral("^(?:PHY\\()?(\\d+)\\.(\\d+)\\)?$"));
    const QRegularExpressionMatch m = port.match(wanted);
    return m.hasMatch() ? QStringLiteral("PHY(%1.%2)").arg(m.captured(1), m.captured(2)) : QString();
}

QString ScreenRecord::stateText() const
{
    switch (kind) {
    case DeviceKind::RunningScreen: return QStringLiteral("running");
    case DeviceKind::TelvBootLoader: return QStringLiteral("TELV boot loader");
    case DeviceKind::K2tBootLoader: return QStringLiteral("K2T/K5TX boot loader");
    case DeviceKind::Other: break;
    }
    return QStringLiteral("other");
}

QString ScreenRecord::stateKey() const
{
    switch (kind) {
    case DeviceKind::RunningScreen: return QStringLiteral("running");
    case DeviceKind::TelvBootLoader: return QStringLiteral("telv-boot-loader");
    case DeviceKind::K2tBootLoader: return QStringLiteral("k2t-boot-loader");
    case DeviceKind::Other: break;
    }
    return QStringLiteral("other");
}

QString ScreenRecord::label() const
{
    return deviceId.isEmpty() ? port : port + QLatin1Char(' ') + deviceId;
}

std::vector<ScreenRecord> discover(const std::shared_ptr<UsbContext> &context, const QStringList &ports)
{
    std::vector<ScreenRecord> out;
    if (!context || !*context)
        return out;
    const DeviceList devices(context->get());
    for (const session::FoundDevice &found : session::findScreens(devices)) {
        ScreenRecord r;
        r.port = found.portText();
        r.bus = found.bus;
        r.portNumber = found.port;
        r.kind = found.kind;
        r.usbId = usbId(found.kind);
        if (found.kind == DeviceKind::RunningScreen && (ports.isEmpty() || ports.contains(r.port))) {
            const std::shared_ptr<Screen> screen = Screen::open(context, devices[size_t(found.index)]);
            if (!screen) {
                // Listed all the same: the user should see a screen that is
                // there and cannot be opened (no access to its device node).
                r.model = QStringLiteral("(cannot be opened)");
                out.push_back(r);
                continue;
            }
            const session::Identity id = session::identify(*screen, ScreenGeometry{});
            r.identification = id.identification;
            r.identString = id.identString;
            r.deviceId = id.deviceId;
            r.geometry = id.geometry;
            r.firmwareMinor = id.firmwareMinor.value_or(0);
            r.model = modelName(id.geometry);
            r.firmware = firmwareVersion(id.identString);
            r.panel = QSize(id.geometry.panelWidth, id.geometry.panelHeight);
        }
        out.push_back(r);
    }
    // By bus and port: the same order whatever libusb's list holds.
    std::sort(out.begin(), out.end(), [](const ScreenRecord &a, const ScreenRecord &b) {
        return std::pair(a.bus, a.portNumber) < std::pair(b.bus, b.portNumber);
    });
    return out;
}

Selection select(const std::vector<ScreenRecord> &attached, const QStringList &wanted, bool all)
{
    Selection s;
    if (attached.empty()) {
        s.noScreen = true;
        s.error = QStringLiteral("no screen is attached");
        return s;
    }
    if (all) {
        s.screens = attached;
        return s;
    }
    if (wanted.isEmpty()) {
        if (attached.size() == 1) {
            s.screens = attached;
            return s;
        }
        s.error = QStringLiteral("%1 screens are attached; choose with --screen or --all:\n").arg(attached.size())
                  + listText(attached);
        return s;
    }
    for (const QString &w : wanted) {
        bool matched = false;
        for (const ScreenRecord &r : attached) {
            if (r.port == portOf(w) || (!r.deviceId.isEmpty() && r.deviceId == w)) {
                matched = true;
                const bool again = std::any_of(s.screens.begin(), s.screens.end(),
                                               [&](const ScreenRecord &t) { return t.port == r.port; });
                if (!again)
                    s.screens.push_back(r);
            }
        }
        if (!matched) {
            s.noScreen = true;
            s.error = QStringLiteral("no screen is %1; attached:\n").arg(w) + listText(attached);
            s.screens.clear();
            return s;
        }
    }
    return s;
}

std::shared_ptr<Screen> openScreen(const std::shared_ptr<UsbContext> &context, const ScreenRecord &record)
{
    const DeviceList devices(context->get());
    libusb_device *device = session::deviceAt(devices, record.bus, record.portNumber);
    if (!device)
        return nullptr;
    std::shared_ptr<Screen> screen = Screen::open(context, device);
    if (!screen || screen->usbId() != record.usbId)
        return nullptr;
    return screen;
}

QString terminalText(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const char32_t c : text.toUcs4()) {
        if (c == U'\\')
            out += QStringLiteral("\\\\");
        else if (QChar::isPrint(c))
            out += QString::fromUcs4(&c, 1);
        else if (c < 0x100)
            out += QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'));
        else
            out += QStringLiteral("\\u%1").arg(uint(c), 4, 16, QLatin1Char('0'));
    }
    return out;
}

QString listText(const std::vector<ScreenRecord> &screens)
{
    const auto or_ = [](const QString &s) { return s.isEmpty() ? QStringLiteral("-") : terminalText(s); };
    QString out = QStringLiteral("%1 %2 %3 %4 %5 %6 %7\n")
                      .arg(QStringLiteral("PORT").leftJustified(10), QStringLiteral("USB ID").leftJustified(9),
                           QStringLiteral("STATE").leftJustified(20), QStringLiteral("MODEL").leftJustified(18),
                           QStringLiteral("PANEL").leftJustified(9), QStringLiteral("DEVICE ID").leftJustified(19),
                           QStringLiteral("FIRMWARE"));
    for (const ScreenRecord &r : screens) {
        const QString usb = QStringLiteral("%1:%2").arg(r.usbId.vendor, 4, 16, QLatin1Char('0')).arg(r.usbId.product, 4, 16, QLatin1Char('0'));
        const QString panel = r.running() ? QStringLiteral("%1x%2").arg(r.panel.width()).arg(r.panel.height()) : QString();
        out += QStringLiteral("%1 %2 %3 %4 %5 %6 %7\n")
                   .arg(r.port.leftJustified(10), usb.leftJustified(9), r.stateText().leftJustified(20),
                        or_(r.model).leftJustified(18), or_(panel).leftJustified(9), or_(r.deviceId).leftJustified(19),
                        or_(r.firmware));
    }
    return out;
}

QString listJson(const std::vector<ScreenRecord> &screens)
{
    QJsonArray list;
    for (const ScreenRecord &r : screens) {
        const auto text = [&r](const QString &s) { return r.running() ? QJsonValue(s) : QJsonValue(QJsonValue::Null); };
        QJsonObject o;
        o.insert(QStringLiteral("port"), r.port);
        o.insert(QStringLiteral("bus"), r.bus);
        o.insert(QStringLiteral("port_number"), r.portNumber);
        o.insert(QStringLiteral("usb_id"), QStringLiteral("%1:%2")
                                               .arg(r.usbId.vendor, 4, 16, QLatin1Char('0'))
                                               .arg(r.usbId.product, 4, 16, QLatin1Char('0')));
        o.insert(QStringLiteral("state"), r.stateKey());
        o.insert(QStringLiteral("model"), text(r.model));
        o.insert(QStringLiteral("identification"), text(r.identification));
        if (r.running())
            o.insert(QStringLiteral("panel"), QJsonObject{{QStringLiteral("width"), r.panel.width()},
                                                          {QStringLiteral("height"), r.panel.height()}});
        else
            o.insert(QStringLiteral("panel"), QJsonValue::Null);
        o.insert(QStringLiteral("device_id"), text(r.deviceId));
        o.insert(QStringLiteral("firmware"), r.running() && !r.firmware.isEmpty() ? QJsonValue(r.firmware)
                                                                                 : QJsonValue(QJsonValue::Null));
        list.append(o);
    }
    return QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("screens"), list}}).toJson(QJsonDocument::Indented));
}

} // namespace tavrikctl
