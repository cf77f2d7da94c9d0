#include "upgradethread.h"

#include "bridge.h"
#include "dialogs.h"
#include "eeprom.h"
#include "firmwareserver.h"
#include "requests.h"
#include "serverreply.h"
#include "splice.h"

#include <QCoreApplication>
#include <QDebug>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QSemaphore>
#include <QSslError>
#include <QTemporaryFile>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>

using namespace screenlink;

namespace {

constexpr int kFlashReadRegion = 24576; // the boot region, which holds the screen block
constexpr int kEepromSize = 8192;
constexpr int kEepromLine = 16;
constexpr int kEraseSteps = 16;
constexpr unsigned long kEraseStepMs = 200;
// Tries of each request or bridge transaction that writes or checks the
// screen's memory.
constexpr int kTries = 3;

// The firmware file, at most one image buffer; nullopt when it cannot be read.
std::optional<QByteArray> readFirmware(const QString &path, qint64 limit)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray data = file.read(limit);
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    return data;
}

fwimage::ByteView view(const uint8_t *data, size_t size)
{
    return {data, size};
}

} // namespace

UpgradeThread::~UpgradeThread()
{
    wait();
    (void)m_finished.load(std::memory_order_acquire);
}

bool UpgradeThread::isBusy() const
{
    if (isRunning())
        return true;
    (void)m_finished.load(std::memory_order_acquire);
    return false;
}

void UpgradeThread::startUpgrade(std::shared_ptr<Screen> screen, uint16_t vendorId, uint16_t productId)
{
    if (isRunning())
        return;
    m_screen = std::move(screen);
    m_vendorId = vendorId;
    m_productId = productId;
    m_finished = false;
    start();
}

void UpgradeThread::run()
{
    // The path alone decides the sequence, whatever family the screen is.
    const bool ok = firmwarePath.contains(QLatin1String("TELV")) ? upgradeTelv() : upgradeEeprom();
    report(ok ? 100 : -1);
    m_screen.reset();
    m_finished.store(true, std::memory_order_release);
}

void UpgradeThread::report(int value)
{
    emit progress(value);
}

bool UpgradeThread::upgradeTelv()
{
    qDebug() << "Firmware: " << firmwarePath;
    std::vector<uint8_t> source(kFlashReadRegion, 0);
    fwimage::ByteView block;
    bool byTool = false;
    if (m_vendorId == 0x1F3A && m_productId == 0xEFE8) {
        const int got = downloadScreenBlock(source.data());
        if (got <= 0)
            return false;
        block = view(source.data(), size_t(got));
        byTool = true;
    } else if (m_vendorId == 0xC872 && m_productId == 0x1004 && m_screen) {
        if (readFlash(source.data(), kFlashReadRegion) < 0)
            return false;
        const auto found = fwimage::screenBlock(view(source.data(), source.size()));
        if (!found) {
            qDebug() << "Screen block unreadable:" << QString::fromUtf8(fwimage::describe(found.fault).data());
            return false;
        }
        block = found.value;
    } else {
        return false;
    }

    const auto file = readFirmware(firmwarePath, qint64(fwimage::ImageBufferSize));
    if (!file) {
        qDebug() << "Firmware file unreadable:" << firmwarePath;
        return false;
    }
    const auto assembled = fwimage::spliceScreenBlock(
        block, view(reinterpret_cast<const uint8_t *>(file->constData()), size_t(file->size())));
    if (!assembled) {
        qDebug() << "Firmware image refused:" << QString::fromUtf8(fwimage::describe(assembled.fault).data());
        return false;
    }
    const uint8_t *image = assembled.value.buffer.data();
    const int length = int(assembled.value.writeLength);
    if (byTool)
        return writeByTool(image, length);
    // The read-back also covers the erased bytes the boot checksum counts.
    const int checked = std::max(length, int(assembled.value.checksumLength));
    return writeFlash(image, length) && verifyFlash(image, checked);
}

int UpgradeThread::readFlash(uint8_t *buffer, int count)
{
    int result = 0;
    for (int a = 0; a < count; a += kFlashChunk) {
        result = flashRead48(*m_screen, uint32_t(a), buffer + a, kTries);
        if (result < 0)
            return result;
        if (a % 1024 == 0)
            report(a * 40 / count);
    }
    report(40);
    return result;
}

bool UpgradeThread::writeFlash(const uint8_t *image, int length)
{
    libusb_device_handle *h = m_screen->handle();
    const int n = (length + 511) / 512 * 512;
    if (withRetries(kTries, [h] { return setProgramming(h, true); }) < 0)
        return false;
    report(25);
    bool ok = true;
    for (int i = 0; i < kEraseSteps && ok; ++i) {
        ok = withRetries(kTries, [h, i] { return eraseStep(h, uint8_t(i)); }) >= 0;
        msleep(kEraseStepMs);
        report(30 + i);
    }
    for (int a = 0; a < n && ok; a += kFlashChunk) {
        const int count = std::min(n - a, kFlashChunk);
        // All 48 bytes go out even when fewer are to be programmed; past the
        // image they are the 0xFF of erased flash, never bytes from beyond
        // its buffer.
        uint8_t chunk[kFlashChunk];
        std::memset(chunk, 0xFF, sizeof chunk);
        std::memcpy(chunk, image + a, size_t(count));
        ok = flashProgram48(*m_screen, uint32_t(a), uint8_t(count), chunk, kTries) >= 0;
        if (a % 2048 == 0)
            report(std::min(a * 50 / n + 50, 95));
    }
    // Leave programming mode even after a failure, so the screen is not left
    // waiting for more.
    const bool off = withRetries(kTries, [h] { return setProgramming(h, false); }) >= 0;
    return ok && off;
}

bool UpgradeThread::verifyFlash(const uint8_t *image, int length)
{
    const int n = (length + 511) / 512 * 512;
    uint8_t chunk[kFlashChunk];
    int step = 0;
    for (int a = 0; a < n; a += kFlashChunk) {
        if (flashRead48(*m_screen, uint32_t(a), chunk, kTries) < 0)
            return false;
        const int count = std::min(n - a, kFlashChunk);
        if (std::memcmp(chunk, image + a, size_t(count)) != 0) {
            qDebug() << "Flash differs from the image at" << a;
            return false;
        }
        // Four steps between the last programming value and 100.
        while (step < 4 && a >= n * step / 4) {
            report(96 + step);
            ++step;
        }
    }
    return true;
}

bool UpgradeThread::upgradeEeprom()
{
    if (m_vendorId == 0x04B4 && m_productId == 0x8613)
        return upgradeEepromByTool();
    return upgradeEepromByBridge();
}

bool UpgradeThread::upgradeEepromByBridge()
{
    if (!m_screen)
        return false;
    QFile file(firmwarePath);
    if (!file.open(QIODevice::ReadOnly) || file.size() != kEepromSize)
        return false;
    QByteArray data = file.read(kEepromSize);
    file.close();
    if (data.size() != kEepromSize)
        return false;
    std::vector<uint8_t> image(data.begin(), data.end());
    if (!fwimage::stampDeviceId(image))
        return false;
    std::fflush(stdout);

    libusb_device_handle *h = m_screen->handle();
    if (withRetries(kTries, [h] { return setProgramming(h, true); }) < 0)
        return false;
    bool ok = true;
    for (int a = 0; a < kEepromSize && ok; a += kEepromLine) {
        const int r = writeConfigLine(*m_screen, uint16_t(a), image.data() + a, kTries);
        if (r < 0) {
            qDebug() << r;
            ok = false;
        }
        if (a % 256 == 0)
            report(a * 100 / kEepromSize);
    }
    const bool off = withRetries(kTries, [h] { return setProgramming(h, false); }) >= 0;
    if (!ok || !off)
        return false;

    // Read it all back, 8 bytes at a time, the most the screen answers.
    uint8_t back[8];
    int step = 0;
    for (int a = 0; a < kEepromSize; a += 8) {
        if (readConfig(*m_screen, uint16_t(a), 8, back, kTries) < 0 || std::memcmp(back, image.data() + a, 8) != 0) {
            qDebug() << "EEPROM differs from the image at" << a;
            return false;
        }
        while (step < 3 && a >= kEepromSize * step / 3) {
            report(97 + step);
            ++step;
        }
    }
    return true;
}

namespace {

constexpr int kToolWaitMs = 1000;
constexpr int kEepromWaits = 20;
constexpr int kIdWaitMs = 3000;
constexpr int kDownloadAttempts = 5;
constexpr int kServerLimitMs = 12000;
constexpr int kToolEndMs = 2000;

bool toolRunning(const QProcess &tool)
{
    return tool.state() != QProcess::NotRunning;
}

// Kills a tool that is still at work; a half-done write must not go on
// behind a result already reported.
void endTool(QProcess &tool)
{
    if (!toolRunning(tool))
        return;
    tool.kill();
    tool.waitForFinished(kToolEndMs);
}

bool toolFailed(const QProcess &tool)
{
    return tool.error() == QProcess::FailedToStart || tool.exitStatus() == QProcess::CrashExit;
}

bool saysError(const QString &output)
{
    return output.contains(QLatin1String("ERROR")) || output.contains(QLatin1String("error"));
}

} // namespace

void UpgradeThread::abandonPrompts()
{
    m_promptsAbandoned = true;
}

std::unique_ptr<QProcess> UpgradeThread::startTool(const QString &name, const QStringList &arguments,
                                                   bool mergeChannels)
{
    auto tool = std::make_unique<QProcess>();
    // Unread, a separate error channel could fill up and stall the tool.
    tool->setProcessChannelMode(mergeChannels ? QProcess::MergedChannels : QProcess::ForwardedErrorChannel);
    tool->start(applicationDir + QLatin1Char('/') + name + exeSuffix, arguments, QIODevice::ReadWrite);
    return tool;
}

bool UpgradeThread::upgradeEepromByTool()
{
    auto tool = startTool(QStringLiteral("eeprom"), {QStringLiteral("w"), firmwarePath}, true);
    for (int p = 0;; p += 5) {
        if (toolRunning(*tool))
            tool->waitForFinished(kToolWaitMs);
        report(p);
        if (!toolRunning(*tool) || p + 5 >= kEepromWaits * 5)
            break;
    }
    const bool unfinished = toolRunning(*tool);
    endTool(*tool);
    const QString output = QString::fromUtf8(tool->readAll());
    qDebug().noquote() << QStringLiteral("EEPROM: ") + output;
    if (unfinished || toolFailed(*tool)) {
        qDebug() << "eeprom did not finish its write:" << tool->errorString();
        return false;
    }
    return !saysError(output);
}

int UpgradeThread::downloadScreenBlock(uint8_t *destination)
{
    for (int attempt = 0; attempt < kDownloadAttempts; ++attempt) {
        auto tool = startTool(QStringLiteral("telvtool"), {QStringLiteral("id")}, false);
        tool->waitForFinished(kIdWaitMs);
        const bool unfinished = toolRunning(*tool);
        endTool(*tool);
        const QString text = QString::fromUtf8(tool->readAllStandardOutput());
        if (unfinished || toolFailed(*tool) || saysError(text)) {
            qDebug() << "telvtool id failed:" << text.trimmed() << tool->errorString();
            continue;
        }
        const QString identity = text.trimmed();
        if (!firmwareserver::plainIdentity(identity)) {
            qDebug() << "Screen identity unusable:" << identity;
            continue;
        }
        const QByteArray reply = fetchScreenBlock(identity);
        const auto block = fwimage::screenBlockFromReply(std::string_view(reply.constData(), size_t(reply.size())));
        if (block.fault == fwimage::Fault::NoReplyMarkers) {
            if (!reply.isEmpty())
                qDebug() << "Firmware server: no markers in the reply";
            tellServerFailed();
            return -1;
        }
        if (!block) {
            qDebug() << "Screen block refused:" << QString::fromUtf8(fwimage::describe(block.fault).data());
            return -1;
        }
        std::memcpy(destination, block.value.data(), block.value.size());
        destination[8] = 0xFF;
        return int(block.value.size());
    }
    return -1;
}

QByteArray UpgradeThread::fetchScreenBlock(const QString &identity)
{
    // Made on this thread: its replies are delivered to the loop below.
    QNetworkAccessManager network;
    QNetworkRequest request(firmwareserver::screenBlockUrl(firmwareserver::host(), identity));
    QString why;
    request.setSslConfiguration(firmwareserver::tlsConfiguration(&why));
    if (!why.isEmpty())
        qDebug() << "Firmware server authorities:" << why;
    std::unique_ptr<QNetworkReply> reply(network.get(request));
    QEventLoop loop;
    QByteArray bytes;
    bool tooLong = false;
    QStringList tlsErrors;
    connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    // Taken as it comes, so that a server sending without end is cut off at
    // the limit instead of filling memory.
    connect(reply.get(), &QIODevice::readyRead, &loop, [&] {
        bytes += reply->read(firmwareserver::kReplyLimit + 1 - bytes.size());
        if (bytes.size() > firmwareserver::kReplyLimit && !tooLong) {
            tooLong = true;
            reply->abort();
        }
    });
    connect(reply.get(), &QNetworkReply::sslErrors, &loop, [&](const QList<QSslError> &errors) {
        for (const QSslError &e : errors)
            tlsErrors << e.errorString();
    });
    QTimer::singleShot(kServerLimitMs, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();

    // Whatever went wrong, the reply counts as holding no block.
    if (!reply->isFinished()) {
        reply->abort();
        qDebug() << "Firmware server: no answer within" << kServerLimitMs << "ms";
        return {};
    }
    if (tooLong) {
        qDebug() << "Firmware server: the reply is longer than" << firmwareserver::kReplyLimit << "bytes";
        return {};
    }
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() != QNetworkReply::NoError) {
        if (!tlsErrors.isEmpty())
            qDebug().noquote() << "Firmware server: TLS error:" << tlsErrors.join(QStringLiteral("; "));
        else if (status != 0)
            qDebug().noquote() << "Firmware server: HTTP" << status
                               << reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        else
            qDebug().noquote() << "Firmware server:" << reply->errorString();
        return {};
    }
    bytes += reply->read(firmwareserver::kReplyLimit + 1 - bytes.size());
    if (bytes.size() > firmwareserver::kReplyLimit) {
        qDebug() << "Firmware server: the reply is longer than" << firmwareserver::kReplyLimit << "bytes";
        return {};
    }
    qDebug().noquote() << "Firmware server: HTTP" << status << QStringLiteral("(%1 bytes)").arg(bytes.size());
    return bytes;
}

void UpgradeThread::tellServerFailed()
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app)
        return;
    // Waited for in slices, so that an owner going away is not kept
    // waiting on a box it can no longer show.
    auto closed = std::make_shared<QSemaphore>(0);
    QMetaObject::invokeMethod(
        app,
        [closed] {
            dialogs::critical(nullptr, QStringLiteral("Error"), QStringLiteral("Can not get data from server."));
            closed->release();
        },
        Qt::QueuedConnection);
    while (!closed->tryAcquire(1, 100))
        if (m_promptsAbandoned)
            return;
}

bool UpgradeThread::writeByTool(const uint8_t *image, int length)
{
    // Next to the program, as the tool's users know it; an installed
    // program's folder is not the user's to write, so then a cache folder.
    QString folder = applicationDir;
    if (!QFileInfo(folder).isWritable()) {
        folder = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + QStringLiteral("/tavrik");
        QDir().mkpath(folder);
    }
    // A file of this run's own, removed when the write is over: two upgrades
    // at once (two windows, two programs) must never hand the tool each
    // other's image, and a file that failed to be written must not let the
    // tool program an older one.
    QTemporaryFile file(folder + QStringLiteral("/firmware.local.XXXXXX.bin"));
    if (!file.open() || file.write(reinterpret_cast<const char *>(image), length) != length || !file.flush()) {
        qDebug() << "Cannot write the hand-over file in" << folder << file.errorString();
        return false;
    }
    const QString handOver = file.fileName();
    file.close();
    auto tool = startTool(QStringLiteral("telvtool"),
                          {QStringLiteral("spinor"), QStringLiteral("write"), QStringLiteral("0"), handOver}, true);
    for (int p = 40; p <= 98; p += 2) {
        if (toolRunning(*tool))
            tool->waitForFinished(kToolWaitMs);
        report(p);
    }
    const bool unfinished = toolRunning(*tool);
    endTool(*tool);
    const QString output = QString::fromUtf8(tool->readAll());
    qDebug().noquote() << output;
    if (unfinished || toolFailed(*tool)) {
        qDebug() << "telvtool did not finish its write:" << tool->errorString();
        return false;
    }
    return !saysError(output);
}
