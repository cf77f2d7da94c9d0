#include "monitormode.h"

#include <QDir>
#include <QFile>
#include <QSettings>

namespace telvdrv {

namespace {

bool parse(const QString &text, MonitorMode *mode)
{
    const QString value = text.trimmed().toLower();
    if (value == QLatin1String("extend"))
        *mode = MonitorMode::Extend;
    else if (value == QLatin1String("mirror"))
        *mode = MonitorMode::Mirror;
    else
        return false;
    return true;
}

} // namespace

QString configFolder()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QLatin1String("/.config");
    return base + QLatin1String("/tavrik");
}

QString modeFilePath()
{
    return configFolder() + QLatin1String("/monitor.conf");
}

ModeChoice chooseMonitorMode()
{
    ModeChoice choice;
    if (qEnvironmentVariableIsSet(kModeVariable)) {
        const QString value = qEnvironmentVariable(kModeVariable);
        if (parse(value, &choice.mode))
            return choice;
        choice.problem = QStringLiteral("%1=%2 is neither extend nor mirror").arg(QLatin1String(kModeVariable), value);
    }
    const QString path = modeFilePath();
    if (!QFile::exists(path))
        return choice;
    const QSettings file(path, QSettings::IniFormat);
    const QString value = file.value(QStringLiteral("mode")).toString();
    if (value.isEmpty() || parse(value, &choice.mode))
        return choice;
    if (choice.problem.isEmpty())
        choice.problem = QStringLiteral("mode=%1 in %2 is neither extend nor mirror").arg(value, path);
    return choice;
}

TouchChoice chooseTouch()
{
    TouchChoice choice;
    const QString path = modeFilePath();
    if (!QFile::exists(path))
        return choice;
    const QSettings file(path, QSettings::IniFormat);
    const auto pick = [&](const char *key, const char *yes, const char *no, bool *value) {
        const QString text = file.value(QLatin1String(key)).toString().trimmed().toLower();
        if (text == QLatin1String(yes))
            *value = true;
        else if (text == QLatin1String(no))
            *value = false;
        else if (!text.isEmpty() && choice.problem.isEmpty())
            choice.problem = QStringLiteral("%1=%2 in %3 is neither %4 nor %5")
                                 .arg(QLatin1String(key), text, path, QLatin1String(yes), QLatin1String(no));
    };
    pick("touch", "on", "off", &choice.on);
    pick("touch_pointer", "back", "stay", &choice.pointerBack);
    return choice;
}

} // namespace telvdrv
