#include "jobs.h"

#include "fleet.h"
#include "paneltests.h"
#include "screenlog.h"

#include <QColor>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonValue>
#include <QThread>

#include <cmath>
#include <optional>

namespace tavrikctl {

using session::OpenScreen;
using session::ScreenInfo;

namespace {

const QJsonValue kNull(QJsonValue::Null);

JobResult failed(const QString &why)
{
    return {false, why};
}

QJsonValue textOrNull(const QString &text)
{
    return text.isEmpty() ? kNull : QJsonValue(text);
}

QJsonObject size(int width, int height)
{
    return {{QStringLiteral("width"), width}, {QStringLiteral("height"), height}};
}

// The command's own fields as they are before the screen told anything:
// every one is there, whatever happens.
QJsonObject ownFields(const Command &c)
{
    const QString argument = c.arguments.value(0);
    if (c.name == QLatin1String("identify")) {
        QJsonObject o;
        for (const char *key : {"identification", "screen_string", "size_code", "variant_code", "panel", "picture",
                                "flip_allowed", "flip_default", "firmware_file", "firmware"})
            o.insert(QLatin1String(key), kNull);
        return o;
    }
    if (c.name == QLatin1String("show"))
        return {{QStringLiteral("picture_file"), argument}};
    if (c.name == QLatin1String("fill"))
        return {{QStringLiteral("color"), QColor::fromString(argument).name()}};
    if (c.name == QLatin1String("backlight"))
        return {{QStringLiteral("percent"), c.percent}};
    if (c.name == QLatin1String("flip"))
        return {{QStringLiteral("flip"), kNull}};
    if (c.name == QLatin1String("log"))
        return {{QStringLiteral("path"), argument.isEmpty() ? QStringLiteral("screen.txt") : argument},
                {QStringLiteral("bytes"), kNull}};
    if (c.name == QLatin1String("led-test"))
        return {{QStringLiteral("seconds"), c.seconds}};
    return {};
}

QJsonObject identifyFields(const ScreenInfo &r)
{
    const auto &g = r.geometry;
    const QSize picture = g.pictureSize();
    return {{QStringLiteral("identification"), r.identification},
            {QStringLiteral("screen_string"), r.identString},
            {QStringLiteral("size_code"), int(g.sizeCode)},
            {QStringLiteral("variant_code"), int(g.variantCode)},
            {QStringLiteral("panel"), size(g.panelWidth, g.panelHeight)},
            {QStringLiteral("picture"), size(picture.width(), picture.height())},
            {QStringLiteral("flip_allowed"), g.flipAllowed != 0},
            {QStringLiteral("flip_default"), g.flipAllowed != 0 ? QJsonValue(int(g.flipDefault)) : kNull},
            {QStringLiteral("firmware_file"), textOrNull(g.modelFirmwareName)},
            {QStringLiteral("firmware"), textOrNull(r.firmwareVersion())}};
}

int flipValue(const QString &word, int fallback)
{
    if (word == QLatin1String("none"))
        return 0;
    if (word == QLatin1String("vertical"))
        return 1;
    if (word == QLatin1String("horizontal"))
        return 2;
    if (word == QLatin1String("both"))
        return 3;
    return fallback;
}

QString identifyText(const ScreenInfo &r)
{
    const auto &g = r.geometry;
    const auto number = [](qint64 n) { return QString::number(n); };
    const QString firmware = r.firmwareVersion();
    // One substitution for all: a screen's text holding "%1" stays as it is.
    return QStringLiteral("\n  identification: %1\n  screen's string: %2\n  size code: %3, variant code: %4\n"
                          "  panel: %5x%6, picture %7x%8\n  flips: %9\n  firmware file: %10\n  device ID: %11\n"
                          "  firmware: %12")
        .arg(terminalText(r.identification), terminalText(r.identString), number(g.sizeCode), number(g.variantCode),
             number(g.panelWidth), number(g.panelHeight), number(g.pictureSize().width()),
             number(g.pictureSize().height()),
             g.flipAllowed ? QStringLiteral("allowed, default %1").arg(g.flipDefault) : QStringLiteral("none"),
             g.modelFirmwareName.isEmpty() ? QStringLiteral("-") : g.modelFirmwareName, terminalText(r.deviceId),
             firmware.isEmpty() ? QStringLiteral("-") : terminalText(firmware));
}

// The picture the panel's own way up, as the window sets it on opening.
JobResult show(OpenScreen &screen, const QImage &picture)
{
    if (screen.info().geometry.flipAllowed != 0 && !screen.setDefaultFlip())
        return failed(QStringLiteral("the screen does not answer"));
    if (!screen.show(picture).sent)
        return failed(QStringLiteral("the frame did not reach the screen"));
    return {true, QStringLiteral("shown")};
}

} // namespace

QString logPath(const QString &path, const ScreenInfo &screen, bool several)
{
    if (!several)
        return path;
    const QFileInfo info(path);
    const QString suffix = info.suffix().isEmpty() ? QString() : QLatin1Char('.') + info.suffix();
    const QString base = info.suffix().isEmpty() ? info.fileName() : info.completeBaseName();
    const QString dir = info.path() == QLatin1String(".") && !path.startsWith(QLatin1String("./"))
                            ? QString()
                            : info.path() + QLatin1Char('/');
    return dir + base + QLatin1Char('-') + (screen.deviceId.isEmpty() ? screen.port.fullText() : screen.deviceId) + suffix;
}

QString argumentFileError(const Command &c)
{
    const QString path = c.arguments.value(0);
    const bool named = (c.name == QLatin1String("show") || c.name == QLatin1String("upgrade")) && !path.isEmpty();
    if (named && !QFileInfo::exists(path))
        return QStringLiteral("%1: no such file").arg(path);
    if (named && !QFileInfo(path).isFile())
        return QStringLiteral("%1: a folder, not a file").arg(path);
    if (named) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return QStringLiteral("%1: Can not open file. (%2)").arg(path, file.errorString());
    }
    if (c.name == QLatin1String("show") && QImage(path).isNull())
        return QStringLiteral("%1 is no picture that can be read").arg(path);
    if (!c.firmwareDir.isEmpty() && !QFileInfo(c.firmwareDir).isDir())
        return QStringLiteral("--firmware-dir %1: no such folder").arg(c.firmwareDir);
    if (c.name == QLatin1String("log") && !path.isEmpty() && !logToStandardOutput(c)) {
        const QFileInfo folder(QFileInfo(path).absolutePath());
        if (!folder.isDir() || !folder.isWritable())
            return QStringLiteral("the log cannot be saved in %1: no folder there to write to").arg(folder.filePath());
    }
    return {};
}

namespace {

JobResult job(const Command &c, const ScreenInfo &chosen, const session::ScreenBus &bus, const std::atomic<int> &stop,
              QJsonObject &fields)
{
    QString why;
    std::shared_ptr<OpenScreen> screen;
    if (chosen.access == session::Access::InUse) {
        // The monitor service lends a screen it shows; any other holder keeps it.
        screen = bus.open(chosen, &why);
        if (!screen)
            return failed(QStringLiteral("is in use by another program: nothing was sent to it"));
    }
    if (!chosen.running())
        return failed(QStringLiteral("waits in its %1: only upgrade works there").arg(chosen.stateText()));
    if (c.name == QLatin1String("identify")) {
        const ScreenInfo &known = screen ? screen->info() : chosen;
        if (!known.identified())
            return failed(QStringLiteral("cannot be opened (gone, or no access to it)"));
        fields = identifyFields(known);
        return {true, identifyText(known)};
    }
    if (!screen)
        screen = bus.open(chosen, &why);
    if (!screen)
        return failed(why);
    const ScreenInfo &info = screen->info();

    if (c.name == QLatin1String("show"))
        return show(*screen, QImage(c.arguments[0]));
    if (c.name == QLatin1String("fill")) {
        const QColor colour = QColor::fromString(c.arguments[0]);
        QImage picture(screen->pictureSize(), QImage::Format_RGB32);
        picture.fill(colour);
        return show(*screen, picture);
    }
    if (c.name == QLatin1String("backlight")) {
        const int level = int(std::lround(c.percent * 255.0 / 100.0));
        if (!screen->setBacklight(level))
            return failed(QStringLiteral("the screen does not answer"));
        return {true, QStringLiteral("backlight %1%").arg(c.percent)};
    }
    if (c.name == QLatin1String("flip")) {
        if (info.geometry.flipAllowed == 0)
            return failed(QStringLiteral("its panel cannot flip"));
        const int flip = flipValue(c.arguments.value(0), info.geometry.flipDefault);
        if (!screen->setFlip(flip))
            return failed(QStringLiteral("the screen does not answer"));
        fields.insert(QStringLiteral("flip"), flip);
        return {true, QStringLiteral("flip %1").arg(flip)};
    }
    if (c.name == QLatin1String("log")) {
        if (!info.debugFirmware())
            return failed(QStringLiteral("runs no debug firmware: it keeps no log"));
        const QString path = c.arguments.value(0, QStringLiteral("screen.txt"));
        const std::atomic<bool> never{false};
        if (logToStandardOutput(c)) {
            std::optional<QByteArray> log = session::readLog(*screen->link(), never);
            if (!log)
                return failed(QStringLiteral("the log could not be read from the screen"));
            fields.insert(QStringLiteral("bytes"), log->size());
            JobResult written{true, QStringLiteral("%1 bytes of log written to standard output").arg(log->size())};
            written.log = std::move(*log);
            return written;
        }
        switch (screen->saveLog(path, never)) {
        case session::LogOutcome::Saved:
            fields.insert(QStringLiteral("bytes"), QFileInfo(path).size());
            return {true, QStringLiteral("%1 bytes of log saved to %2").arg(QFileInfo(path).size()).arg(path)};
        case session::LogOutcome::ReadFailed:
            return failed(QStringLiteral("the log could not be read from the screen"));
        case session::LogOutcome::SaveFailed:
            return failed(QStringLiteral("the log could not be saved to %1").arg(path));
        }
    }
    if (c.name == QLatin1String("led-test")) {
        session::LedTest test;
        if (!test.begin(screen->link()))
            return failed(QStringLiteral("the LED test could not start"));
        // It ends by itself only when the screen leaves.
        for (int waited = 0; waited < c.seconds * 1000 && stop.load() == 0 && test.isRunning(); waited += 50)
            QThread::msleep(50);
        test.stopAndWait();
        if (!test.failure().isEmpty())
            return failed(test.failure());
        if (stop.load() != 0)
            return {true, QStringLiteral("LED test stopped early"), true};
        return {true, QStringLiteral("LED test ran")};
    }
    return failed(QStringLiteral("unknown job %1").arg(c.name));
}

} // namespace

JobResult runJob(const Command &c, const ScreenInfo &chosen, const session::ScreenBus &bus, const std::atomic<int> &stop)
{
    QJsonObject fields = ownFields(c);
    JobResult result = job(c, chosen, bus, stop, fields);
    result.fields = fields;
    return result;
}

QJsonObject jobJson(const ScreenInfo &screen, const std::vector<ScreenInfo> &all, const JobResult &result)
{
    const bool told = screen.identified();
    QJsonObject o{{QStringLiteral("port"), screen.portText(all)},
                  {QStringLiteral("device_id"), textOrNull(screen.deviceId)},
                  {QStringLiteral("model"), told ? QJsonValue(screen.modelName()) : kNull},
                  {QStringLiteral("outcome"), result.stopped ? QStringLiteral("stopped")
                                              : result.ok    ? QStringLiteral("done")
                                                             : QStringLiteral("failed")},
                  {QStringLiteral("reason"), result.ok && !result.stopped ? kNull : QJsonValue(result.message)}};
    for (auto it = result.fields.begin(); it != result.fields.end(); ++it)
        o.insert(it.key(), it.value());
    return o;
}

} // namespace tavrikctl
