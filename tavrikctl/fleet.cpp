#include "fleet.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace tavrikctl {

using session::Access;
using session::ScreenInfo;

namespace {

QString usbIdText(const ScreenInfo &s)
{
    const auto id = s.usbId();
    return QStringLiteral("%1:%2").arg(id.vendor, 4, 16, QLatin1Char('0')).arg(id.product, 4, 16, QLatin1Char('0'));
}

// What a running screen could tell: it was opened and identified.
bool told(const ScreenInfo &s)
{
    return s.running() && s.identified();
}

} // namespace

bool namesOnlyPorts(const QStringList &wanted)
{
    return !wanted.isEmpty() && std::all_of(wanted.begin(), wanted.end(), [](const QString &w) {
        return session::isPortText(w);
    });
}

QString label(const ScreenInfo &screen, const std::vector<ScreenInfo> &all)
{
    return terminalText(screen.label(all));
}

Selection select(const std::vector<ScreenInfo> &attached, const QStringList &wanted, bool all)
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
        std::vector<const ScreenInfo *> named;
        for (const ScreenInfo &r : attached)
            if (r.namedBy(w))
                named.push_back(&r);
        if (named.empty()) {
            s.noScreen = true;
            s.error = QStringLiteral("no screen is %1; attached:\n").arg(w) + listText(attached);
            s.screens.clear();
            return s;
        }
        // Two screens behind two hubs share a bus and a last port: the short
        // form cannot tell which one is meant.
        if (named.size() > 1) {
            QStringList ports;
            for (const ScreenInfo *r : named)
                ports << r->port.fullText();
            s.error = QStringLiteral("%1 names %2 screens (%3); name one by its whole port or its device ID")
                          .arg(w)
                          .arg(named.size())
                          .arg(ports.join(QStringLiteral(", ")));
            s.screens.clear();
            return s;
        }
        const bool again = std::any_of(s.screens.begin(), s.screens.end(),
                                       [&](const ScreenInfo &t) { return t.port == named.front()->port; });
        if (!again)
            s.screens.push_back(*named.front());
    }
    return s;
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

QString listText(const std::vector<ScreenInfo> &screens, const std::vector<ScreenInfo> &all)
{
    const std::vector<ScreenInfo> &ports = all.empty() ? screens : all;
    const auto or_ = [](const QString &s) { return s.isEmpty() ? QStringLiteral("-") : terminalText(s); };
    int portWidth = 10;
    for (const ScreenInfo &r : screens)
        portWidth = std::max(portWidth, int(r.portText(ports).size()) + 1);
    QString out = QStringLiteral("%1 %2 %3 %4 %5 %6 %7\n")
                      .arg(QStringLiteral("PORT").leftJustified(portWidth), QStringLiteral("USB ID").leftJustified(9),
                           QStringLiteral("STATE").leftJustified(20), QStringLiteral("MODEL").leftJustified(18),
                           QStringLiteral("PANEL").leftJustified(9), QStringLiteral("DEVICE ID").leftJustified(19),
                           QStringLiteral("FIRMWARE"));
    for (const ScreenInfo &r : screens) {
        const QSize panel(r.geometry.panelWidth, r.geometry.panelHeight);
        const QString panelText = told(r) ? QStringLiteral("%1x%2").arg(panel.width()).arg(panel.height()) : QString();
        QString model;
        if (told(r))
            model = r.modelName();
        else if (r.running() && r.access == Access::CannotOpen)
            model = QStringLiteral("(cannot be opened)");
        out += QStringLiteral("%1 %2 %3 %4 %5 %6 %7\n")
                   .arg(r.portText(ports).leftJustified(portWidth), usbIdText(r).leftJustified(9),
                        r.stateText().leftJustified(20), or_(model).leftJustified(18), or_(panelText).leftJustified(9),
                        or_(r.deviceId).leftJustified(19), or_(told(r) ? r.firmwareVersion() : QString()));
    }
    return out;
}

QString listJson(const std::vector<ScreenInfo> &screens, const std::vector<ScreenInfo> &all)
{
    const std::vector<ScreenInfo> &ports = all.empty() ? screens : all;
    QJsonArray list;
    for (const ScreenInfo &r : screens) {
        const bool known = told(r);
        const auto text = [known](const QString &s) { return known ? QJsonValue(s) : QJsonValue(QJsonValue::Null); };
        QJsonArray path;
        for (uint8_t p : r.port.ports)
            path.append(int(p));
        QJsonObject o;
        o.insert(QStringLiteral("port"), r.portText(ports));
        o.insert(QStringLiteral("bus"), r.port.bus);
        o.insert(QStringLiteral("port_number"), r.port.lastPort());
        o.insert(QStringLiteral("port_path"), path);
        o.insert(QStringLiteral("usb_id"), usbIdText(r));
        o.insert(QStringLiteral("state"), r.stateKey());
        o.insert(QStringLiteral("model"), text(r.modelName()));
        o.insert(QStringLiteral("identification"), text(r.identification));
        if (known)
            o.insert(QStringLiteral("panel"), QJsonObject{{QStringLiteral("width"), r.geometry.panelWidth},
                                                          {QStringLiteral("height"), r.geometry.panelHeight}});
        else
            o.insert(QStringLiteral("panel"), QJsonValue::Null);
        o.insert(QStringLiteral("device_id"), text(r.deviceId));
        const QString firmware = r.firmwareVersion();
        o.insert(QStringLiteral("firmware"), known && !firmware.isEmpty() ? QJsonValue(firmware)
                                                                          : QJsonValue(QJsonValue::Null));
        list.append(o);
    }
    return QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("screens"), list}}).toJson(QJsonDocument::Indented));
}

} // namespace tavrikctl
