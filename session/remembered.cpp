#include "remembered.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>

#include <functional>

namespace session {

namespace {

const QString kGroup = QStringLiteral("auto");

bool save(const QString &path, const std::function<void(QSettings &)> &change, QString *why)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        *why = QStringLiteral("cannot make the folder of %1").arg(path);
        return false;
    }
    QSettings file(path, QSettings::IniFormat);
    change(file);
    // QSettings writes through a temporary file and a rename: a reader sees
    // the old file or the new one, never half of it.
    file.sync();
    if (file.status() != QSettings::NoError) {
        *why = QStringLiteral("cannot write %1").arg(path);
        return false;
    }
    return true;
}

} // namespace

QString monitorConfPath()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QLatin1String("/.config");
    return base + QLatin1String("/tavrik/monitor.conf");
}

QString modeKey(ShowMode mode)
{
    return mode == ShowMode::Mirror ? QStringLiteral("mirror") : QStringLiteral("extend");
}

std::optional<ShowMode> parseMode(const QString &text)
{
    const QString value = text.trimmed().toLower();
    if (value == QLatin1String("extend"))
        return ShowMode::Extend;
    if (value == QLatin1String("mirror"))
        return ShowMode::Mirror;
    return std::nullopt;
}

ShowMode generalMode(const QString &path)
{
    if (const std::optional<ShowMode> set = parseMode(qEnvironmentVariable("TAVRIK_MONITOR_MODE")))
        return *set;
    if (!QFileInfo::exists(path))
        return ShowMode::Extend;
    const QSettings file(path, QSettings::IniFormat);
    return parseMode(file.value(QStringLiteral("mode")).toString()).value_or(ShowMode::Extend);
}

bool isDeviceId(const QString &text)
{
    static const QRegularExpression shape(QStringLiteral("^[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{8}$"));
    return shape.match(text).hasMatch();
}

std::vector<RememberedScreen> rememberedScreens(const QString &path, QStringList *problems)
{
    std::vector<RememberedScreen> screens;
    if (!QFileInfo::exists(path))
        return screens;
    QSettings file(path, QSettings::IniFormat);
    file.beginGroup(kGroup);
    for (const QString &key : file.childKeys()) {
        const QString value = file.value(key).toString();
        const std::optional<ShowMode> mode = parseMode(value);
        if (!isDeviceId(key) || !mode) {
            if (problems)
                *problems << QStringLiteral("%1=%2 in [%3] of %4 is not a device ID with extend or mirror")
                                 .arg(key, value, kGroup, path);
            continue;
        }
        screens.push_back({key.toLower(), *mode});
    }
    return screens;
}

bool remember(const RememberedScreen &screen, QString *why, const QString &path)
{
    return save(
        path, [&](QSettings &file) { file.setValue(kGroup + QLatin1Char('/') + screen.id.toLower(), modeKey(screen.mode)); },
        why);
}

bool forget(const QString &id, QString *why, const QString &path)
{
    return save(path, [&](QSettings &file) { file.remove(kGroup + QLatin1Char('/') + id.toLower()); }, why);
}

QString stateFolder()
{
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QLatin1String("/.local/state");
    return base + QLatin1String("/tavrik");
}

namespace {

QString backlightPath()
{
    return stateFolder() + QLatin1String("/backlight.conf");
}

} // namespace

void keepBacklight(const QString &id, int level)
{
    if (!isDeviceId(id))
        return;
    QString why;
    save(backlightPath(), [&](QSettings &file) { file.setValue(QStringLiteral("backlight/") + id.toLower(), level); },
         &why);
}

int keptBacklight(const QString &id)
{
    const QSettings file(backlightPath(), QSettings::IniFormat);
    bool ok = false;
    const int level = file.value(QStringLiteral("backlight/") + id.toLower()).toInt(&ok);
    return ok && level >= 0 && level <= 255 ? level : 255;
}

} // namespace session
