#include "monitorcmd.h"

#include "monitorservice.h"
#include "remembered.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace tavrikctl {

using namespace session;

namespace {

MonitorOutcome list(const Command &command)
{
    MonitorOutcome result;
    QString why;
    std::optional<std::vector<AutoScreenState>> states = monitorservice::screens(&why);
    const bool running = states.has_value();
    if (!running) {
        states.emplace();
        for (const RememberedScreen &r : rememberedScreens())
            states->push_back({r.id, r.mode, AutoState::Waiting, {}});
    }
    const auto stateKey = [running](const AutoScreenState &s) {
        return running ? autoStateKey(s.state) : QStringLiteral("not-running");
    };
    const auto stateText = [running](const AutoScreenState &s) {
        return running ? autoStateText(s.state) : QStringLiteral("the monitor service is not running");
    };
    if (command.json) {
        QJsonArray rows;
        for (const AutoScreenState &s : *states)
            rows.append(QJsonObject{{QStringLiteral("device_id"), s.id},
                                    {QStringLiteral("mode"), modeKey(s.mode)},
                                    {QStringLiteral("state"), stateKey(s)},
                                    {QStringLiteral("text"), stateText(s)},
                                    {QStringLiteral("port"), s.port.isEmpty() ? QJsonValue() : QJsonValue(s.port)}});
        const QJsonObject top{{QStringLiteral("service"), running ? QStringLiteral("running") : QStringLiteral("not-running")},
                              {QStringLiteral("screens"), rows}};
        result.out = QString::fromUtf8(QJsonDocument(top).toJson(QJsonDocument::Indented));
        return result;
    }
    if (states->empty())
        result.out = QStringLiteral("No screen is remembered; 'tavrikctl monitor --auto DEVICE-ID' adds one.\n");
    for (const AutoScreenState &s : *states)
        result.out += QStringLiteral("%1  %2  %3%4\n")
                          .arg(s.id, modeKey(s.mode).leftJustified(6), stateText(s),
                               s.port.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(s.port));
    if (!running)
        result.err = monitorservice::startAdvice();
    return result;
}

} // namespace

MonitorOutcome runMonitor(const Command &command)
{
    if (command.listMonitor)
        return list(command);
    MonitorOutcome result;
    QString why;
    const bool add = !command.autoId.isEmpty();
    const QString id = (add ? command.autoId : command.offId).toLower();
    const ShowMode mode = parseMode(command.mode).value_or(ShowMode::Extend);
    if (!(add ? remember({id, mode}, &why) : forget(id, &why))) {
        result.code = SomeFailed;
        result.err = why;
        return result;
    }
    result.out = add ? QStringLiteral("%1: shows the desktop (%2) whenever it is plugged in\n").arg(id, modeKey(mode))
                     : QStringLiteral("%1: no longer shows the desktop by itself\n").arg(id);
    if (!monitorservice::reload() && add)
        result.err = monitorservice::startAdvice();
    return result;
}

} // namespace tavrikctl
