#include "jobs.h"

#include "frameoutput.h"
#include "paneltests.h"
#include "screen.h"
#include "screenlog.h"

#include <QColor>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QSaveFile>
#include <QThread>

#include <cmath>

namespace tavrikctl {

using namespace screenlink;

namespace {

JobResult failed(const QString &why)
{
    return {false, why};
}

JobResult sendPicture(Screen &screen, const ScreenRecord &record, const QImage &picture)
{
    const ScreenGeometry &g = record.geometry;
    // The panel's own way up first, as the window sets it on opening.
    if (g.flipAllowed != 0 && screen.sendFlip(uint8_t(g.flipDefault)) < 0)
        return failed(QStringLiteral("the screen does not answer"));
    const session::Frame frame = session::buildFrame(session::renderPicture(picture, g.pictureSize()), g);
    FrameSend how;
    how.displayOn = true;
    how.times = frame.sendTwice ? 2 : 1;
    if (screen.sendFrame(frame.buffer.data(), frame.count, how) < 0)
        return failed(QStringLiteral("the frame did not reach the screen"));
    return {true, QStringLiteral("shown")};
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

QString identifyText(const ScreenRecord &r)
{
    const ScreenGeometry &g = r.geometry;
    const auto number = [](qint64 n) { return QString::number(n); };
    // One substitution for all: a screen's text holding "%1" stays as it is.
    return QStringLiteral("\n  identification: %1\n  screen's string: %2\n  size code: %3, variant code: %4\n"
                          "  panel: %5x%6, picture %7x%8\n  flips: %9\n  firmware file: %10\n  device ID: %11\n"
                          "  firmware: %12")
        .arg(terminalText(r.identification), terminalText(r.identString), number(g.sizeCode), number(g.variantCode),
             number(g.panelWidth), number(g.panelHeight), number(g.pictureSize().width()),
             number(g.pictureSize().height()),
             g.flipAllowed ? QStringLiteral("allowed, default %1").arg(g.flipDefault) : QStringLiteral("none"),
             g.modelFirmwareName.isEmpty() ? QStringLiteral("-") : g.modelFirmwareName, terminalText(r.deviceId),
             r.firmware.isEmpty() ? QStringLiteral("-") : terminalText(r.firmware));
}

} // namespace

QString logPath(const QString &path, const ScreenRecord &screen, bool several)
{
    if (!several)
        return path;
    const QFileInfo info(path);
    const QString suffix = info.suffix().isEmpty() ? QString() : QLatin1Char('.') + info.suffix();
    const QString base = info.suffix().isEmpty() ? info.fileName() : info.completeBaseName();
    const QString dir = info.path() == QLatin1String(".") && !path.startsWith(QLatin1String("./"))
                            ? QString()
                            : info.path() + QLatin1Char('/');
    return dir + base + QLatin1Char('-') + (screen.deviceId.isEmpty() ? screen.port : screen.deviceId) + suffix;
}

QString argumentFileError(const Command &c)
{
    const QString path = c.arguments.value(0);
    if (c.name == QLatin1String("show") && QImage(path).isNull())
        return QStringLiteral("%1 is no picture that can be read").arg(path);
    if (c.name == QLatin1String("upgrade")) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return QStringLiteral("%1: Can not open file.").arg(path);
    }
    if (c.name == QLatin1String("log") && !path.isEmpty()) {
        const QFileInfo folder(QFileInfo(path).absolutePath());
        if (!folder.isDir() || !folder.isWritable())
            return QStringLiteral("the log cannot be saved in %1: no folder there to write to").arg(folder.filePath());
    }
    return {};
}

JobResult runJob(const Command &c, const ScreenRecord &record, const std::shared_ptr<UsbContext> &context,
                 const std::atomic<int> &stop)
{
    if (!record.running())
        return failed(QStringLiteral("waits in its %1: only upgrade works there").arg(record.stateText()));
    if (c.name == QLatin1String("identify"))
        return {true, identifyText(record)};
    const std::shared_ptr<Screen> screen = openScreen(context, record);
    if (!screen)
        return failed(QStringLiteral("cannot be opened (gone, or no access to it)"));

    if (c.name == QLatin1String("show")) {
        const QImage picture(c.arguments[0]);
        if (picture.isNull())
            return failed(QStringLiteral("%1 is no picture that can be read").arg(c.arguments[0]));
        return sendPicture(*screen, record, picture);
    }
    if (c.name == QLatin1String("fill")) {
        const QColor colour = QColor::fromString(c.arguments[0]);
        if (!colour.isValid())
            return failed(QStringLiteral("%1 is no colour").arg(c.arguments[0]));
        QImage picture(record.geometry.pictureSize(), QImage::Format_RGB32);
        picture.fill(colour);
        return sendPicture(*screen, record, picture);
    }
    if (c.name == QLatin1String("backlight")) {
        const int level = int(std::lround(c.percent * 255.0 / 100.0));
        if (screen->sendBacklight(uint8_t(level)) < 0)
            return failed(QStringLiteral("the screen does not answer"));
        return {true, QStringLiteral("backlight %1%").arg(c.percent)};
    }
    if (c.name == QLatin1String("flip")) {
        const ScreenGeometry &g = record.geometry;
        if (g.flipAllowed == 0)
            return failed(QStringLiteral("its panel cannot flip"));
        const int flip = flipValue(c.arguments.value(0), g.flipDefault);
        if (screen->sendFlip(uint8_t(flip)) < 0)
            return failed(QStringLiteral("the screen does not answer"));
        return {true, QStringLiteral("flip %1").arg(flip)};
    }
    if (c.name == QLatin1String("log")) {
        if (!record.identification.contains(QLatin1String("DEBUG")))
            return failed(QStringLiteral("runs no debug firmware: it keeps no log"));
        const std::optional<QByteArray> log = session::readLog(*screen);
        if (!log)
            return failed(QStringLiteral("the log could not be read from the screen"));
        const QString path = c.arguments.value(0, QStringLiteral("screen.txt"));
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(*log) != log->size() || !file.commit())
            return failed(QStringLiteral("the log could not be saved to %1: %2").arg(path, file.errorString()));
        return {true, QStringLiteral("%1 bytes of log saved to %2").arg(log->size()).arg(path)};
    }
    if (c.name == QLatin1String("led-test")) {
        session::LedTest test;
        if (!test.begin(screen))
            return failed(QStringLiteral("the LED test could not start"));
        for (int waited = 0; waited < c.seconds * 1000 && stop.load() == 0; waited += 50)
            QThread::msleep(50);
        test.stopAndWait();
        if (stop.load() != 0)
            return {true, QStringLiteral("LED test stopped early"), true};
        return {true, QStringLiteral("LED test ran")};
    }
    return failed(QStringLiteral("unknown job %1").arg(c.name));
}

} // namespace tavrikctl
