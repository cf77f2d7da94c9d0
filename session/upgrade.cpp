#include "upgrade.h"

#include "bridge.h"
#include "devicelist.h"
#include "discovery.h"
#include "eeprom.h"
#include "firmwareserver.h"
#include "processes.h"
#include "requests.h"
#include "screenblocks.h"
#include "serverreply.h"
#include "splice.h"

#include <QDebug>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QDir>
#include <QSet>
#include <QFileInfo>
#include <QStandardPaths>
#include <QSslError>
#include <QTemporaryFile>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#if defined(Q_OS_WIN)
#include <qt_windows.h>
#elif defined(Q_OS_UNIX)
#include <unistd.h>
#endif

namespace session {

using namespace screenlink;

namespace {

constexpr int kFlashReadRegion = 24576; // the boot region, which holds the screen block
constexpr int kEepromSize = 8192;
constexpr int kEepromLine = 16;
constexpr int kEraseSteps = 16;
constexpr unsigned long kEraseStepMs = 200;

fwimage::ByteView view(const uint8_t *data, size_t size)
{
    return {data, size};
}

// The IDs this process stamped: screens upgraded side by side are written
// before either shows its new ID on the bus.
std::mutex g_stampedMutex;
QSet<QString> g_stamped;

// The new ID as text; empty when none could be stamped.
QString stampNewDeviceId(std::vector<uint8_t> &image, const QStringList &known)
{
    const std::lock_guard lock(g_stampedMutex);
    const auto stamped = fwimage::stampDeviceId(image, fwimage::systemDeviceIdSource(), [&](const fwimage::DeviceId &id) {
        const QString text = QString::fromStdString(fwimage::deviceIdText(id));
        return known.contains(text) || g_stamped.contains(text);
    });
    if (!stamped)
        return {};
    const QString text = QString::fromStdString(fwimage::deviceIdText(stamped.value));
    g_stamped.insert(text);
    return text;
}

// An ID the factory or an earlier upgrade set: not erased memory.
bool deviceIdSet(const std::vector<uint8_t> &eeprom)
{
    const auto id = eeprom.begin() + std::ptrdiff_t(fwimage::DeviceIdOffset);
    return std::any_of(id, id + 8, [](uint8_t b) { return b != 0xFF; })
           && std::any_of(id, id + 8, [](uint8_t b) { return b != 0x00; });
}

QString bootLoaderName(DeviceKind kind)
{
    return kind == DeviceKind::TelvBootLoader ? QStringLiteral("TELV") : QStringLiteral("K2T/K5TX");
}

} // namespace

QString bootLoaderRivals(const ScreenInfo &target, const std::vector<ScreenInfo> &attached)
{
    if (target.kind != DeviceKind::TelvBootLoader && target.kind != DeviceKind::K2tBootLoader)
        return {};
    QStringList others;
    for (const ScreenInfo &s : attached)
        if (s.kind == target.kind && s.port != target.port)
            others << s.portText(attached);
    if (others.isEmpty())
        return {};
    return QStringLiteral("the %1 boot loader's tool writes whichever screen it finds there, and %2 waits there "
                          "too: unplug %3, then upgrade this screen alone")
        .arg(bootLoaderName(target.kind), others.join(QStringLiteral(", ")),
             others.size() == 1 ? QStringLiteral("it") : QStringLiteral("them"));
}

QString bootLoaderRivals(const ScreenInfo &target, const std::shared_ptr<UsbContext> &context)
{
    if (!context || !*context)
        return {};
    const DeviceList devices(context->get());
    return bootLoaderRivals(target, findScreens(devices));
}

UpgradePath UpgradeRequest::path() const
{
    return upgradePath(fwimage::fileFamily(firmwarePath.toStdString()), target.kind);
}

UpgradeWorker::~UpgradeWorker()
{
    // An upgrade cut off midway can leave a screen that no longer starts:
    // it is waited for, never stopped.
    wait();
}

bool UpgradeWorker::begin(UpgradeRequest request)
{
    if (busy())
        return false;
    m_request = std::move(request);
    m_reason.clear();
    m_failure = UpgradeOutcome::Failed;
    m_success = UpgradeOutcome::Done;
    m_blockSource = BlockSource::None;
    m_newDeviceId.clear();
    m_touched = false;
    m_phase = Phase::MayStop;
    return launch();
}

bool UpgradeWorker::askToStop()
{
    Phase expected = Phase::MayStop;
    return m_phase.compare_exchange_strong(expected, Phase::StopAsked) || expected == Phase::StopAsked;
}

void UpgradeWorker::work()
{
    // The file's family alone decides the sequence, whatever the screen is.
    const UpgradePath path = m_request.path();
    const bool telv = path == UpgradePath::TelvRunning || path == UpgradePath::TelvBootLoader;
    bool ok = true;
    if (m_request.dryRun && !m_request.target.running())
        m_success = UpgradeOutcome::WouldWrite; // a boot loader's memory cannot be read to compare
    else
        ok = telv ? upgradeTelv() : upgradeEeprom();
    UpgradeResult result;
    result.outcome = ok ? m_success : m_failure;
    result.reason = ok ? QString() : m_reason;
    result.oldVersion = m_request.target.firmwareVersion();
    const bool written = ok && m_success == UpgradeOutcome::Done;
    result.replug = written && needsReplug(path);
    result.written = written;
    result.newDeviceId = written ? m_newDeviceId : QString();
    result.blockSource = m_blockSource;
    m_request.screen.reset();
    emit upgradeFinished(result);
}

void UpgradeWorker::report(UpgradeStep step, int done, int total)
{
    emit progress(UpgradeProgress{step, done, total});
}

bool UpgradeWorker::stillChosen()
{
    // Another screen may sit at the port by now (swapped while a prompt was
    // up): nothing of this image may reach it.
    if (!m_request.screen || !m_request.target.running())
        return true;
    uint8_t id[8] = {};
    const QString now = readConfig(*m_request.screen, kDeviceIdAddress, 8, id, kTries) >= 0 ? formatDeviceId(id)
                                                                                          : QStringLiteral("unreadable");
    if (now == m_request.target.deviceId)
        return true;
    return fail(QStringLiteral("the screen at %1 is %2 now, not %3, the one chosen")
                    .arg(m_request.target.port.fullText(), now, m_request.target.deviceId));
}

bool UpgradeWorker::mayStartWriting()
{
    if (!stillChosen())
        return false;
    // The last point at which a stop leaves the screen as it was; from here
    // on the write is finished whatever is asked.
    Phase expected = Phase::MayStop;
    if (!m_phase.compare_exchange_strong(expected, Phase::Writing)) {
        m_failure = UpgradeOutcome::Stopped;
        return fail(QStringLiteral("stopped before anything was written"));
    }
    return true;
}

bool UpgradeWorker::screenAnswers()
{
    uint8_t id[8] = {};
    return m_request.screen && m_request.screen->stillOnBus()
           && readConfig(*m_request.screen, kDeviceIdAddress, 8, id, kTries) >= 0;
}

bool UpgradeWorker::fail(const QString &reason)
{
    // The first reason is the one that counts; what follows is its outcome.
    if (m_reason.isEmpty())
        m_reason = reason;
    qDebug().noquote() << reason;
    return false;
}

bool UpgradeWorker::upgradeTelv()
{
    qDebug() << "Firmware: " << m_request.firmwarePath;
    std::vector<uint8_t> source(kFlashReadRegion, 0);
    fwimage::ByteView block;
    QByteArray kept;
    bool byTool = false;
    const DeviceKind kind = m_request.target.kind;
    if (kind == DeviceKind::TelvBootLoader) {
        const int got = downloadScreenBlock(source.data());
        if (got <= 0)
            return fail(QStringLiteral("no screen block for the screen in its boot loader"));
        block = view(source.data(), size_t(got));
        byTool = true;
    } else if (kind == DeviceKind::RunningScreen && m_request.screen) {
        if (readFlash(source.data(), kFlashReadRegion) < 0) {
            if (stopAsked())
                m_failure = UpgradeOutcome::Stopped;
            return fail(stopAsked() ? QStringLiteral("stopped before anything was written")
                                        : QStringLiteral("the screen's flash could not be read"));
        }
        const QString key = screenBlockKey(m_request.target.deviceId);
        const auto found = fwimage::screenBlock(view(source.data(), source.size()));
        if (found) {
            block = found.value;
            m_blockSource = BlockSource::Screen;
            if (!m_request.dryRun)
                keepBlock(key, block);
        } else {
            // An erase cut off took it: the one kept before that erase is
            // this unit's own.
            kept = keptScreenBlock(key);
            if (kept.isEmpty())
                return fail(QStringLiteral("the screen block in the screen's flash is unreadable (%1), and none was "
                                           "kept from this screen. Upgrade it from its TELV boot loader, which "
                                           "fetches its block from the firmware server %2 (TAVRIK_FIRMWARE_SERVER "
                                           "names another)")
                                .arg(QString::fromUtf8(fwimage::describe(found.fault).data()), firmwareserver::host()));
            qDebug().noquote() << "The screen's own block is unreadable; using the one kept from it before";
            block = view(reinterpret_cast<const uint8_t *>(kept.constData()), size_t(kept.size()));
            m_blockSource = BlockSource::Saved;
        }
    } else {
        return fail(QStringLiteral("a TELV image is for a running screen or the TELV boot loader"));
    }

    const QByteArray &file = m_request.firmware;
    const size_t fileBytes = std::min(size_t(file.size()), fwimage::ImageBufferSize);
    const auto assembled =
        fwimage::spliceScreenBlock(block, view(reinterpret_cast<const uint8_t *>(file.constData()), fileBytes));
    if (!assembled)
        return fail(QStringLiteral("the firmware image is refused: %1")
                        .arg(QString::fromUtf8(fwimage::describe(assembled.fault).data())));
    const uint8_t *image = assembled.value.buffer.data();
    const int length = int(assembled.value.writeLength);
    // The read-back also covers the erased bytes the boot checksum counts.
    const int checked = std::max(length, int(assembled.value.checksumLength));
    if (!byTool && !m_request.reinstall && flashHolds(source, image, checked)) {
        m_success = UpgradeOutcome::Unchanged;
        return true;
    }
    if (m_request.dryRun) {
        m_success = UpgradeOutcome::WouldWrite;
        return true;
    }
    if (!mayStartWriting())
        return false;
    if (byTool)
        return writeByTool(image, length);
    return writeWhole([&] { return writeFlash(image, length) && verifyFlash(image, checked); });
}

bool UpgradeWorker::writeWhole(const std::function<bool()> &pass)
{
    for (int n = 1;; ++n) {
        if (pass())
            return true;
        // Erased, a screen does not start again: while it answers, all of
        // it is written once more.
        if (!m_touched || n == kPasses || !screenAnswers())
            break;
        qDebug().noquote() << QStringLiteral("Writing it all again (pass %1 of %2) after: %3")
                                  .arg(n + 1)
                                  .arg(kPasses)
                                  .arg(m_reason);
        m_reason.clear();
    }
    if (m_touched)
        m_failure = UpgradeOutcome::Incomplete;
    return false;
}

void UpgradeWorker::keepBlock(const QString &key, fwimage::ByteView block)
{
    const QByteArray bytes(reinterpret_cast<const char *>(block.data()), qsizetype(block.size()));
    if (key.isEmpty() || keptScreenBlock(key) == bytes)
        return;
    QString why;
    if (!keepScreenBlock(key, bytes, &why))
        qDebug().noquote() << "The screen block could not be kept:" << why;
}

bool UpgradeWorker::flashHolds(const std::vector<uint8_t> &start, const uint8_t *image, int length)
{
    const int n = (length + 511) / 512 * 512;
    const int inStart = std::min(n, int(start.size()));
    if (std::memcmp(start.data(), image, size_t(inStart)) != 0)
        return false;
    uint8_t chunk[kFlashChunk];
    for (int a = inStart; a < n; a += kFlashChunk) {
        if (stopAsked() || flashRead48(*m_request.screen, uint32_t(a), chunk, kTries) < 0)
            return false;
        if (std::memcmp(chunk, image + a, size_t(std::min(n - a, kFlashChunk))) != 0)
            return false;
        if (a % 4096 == 0)
            report(UpgradeStep::Read, a, n);
    }
    return true;
}

bool UpgradeWorker::readEeprom(std::vector<uint8_t> &eeprom)
{
    eeprom.assign(kEepromSize, 0xFF);
    for (int a = 0; a < kEepromSize; a += 8) {
        if (stopAsked() || readConfig(*m_request.screen, uint16_t(a), 8, eeprom.data() + a, kTries) < 0)
            return false;
    }
    return true;
}

int UpgradeWorker::readFlash(uint8_t *buffer, int count)
{
    int result = 0;
    for (int a = 0; a < count; a += kFlashChunk) {
        if (stopAsked())
            return LIBUSB_ERROR_INTERRUPTED; // nothing written yet: a stop is safe here
        result = flashRead48(*m_request.screen, uint32_t(a), buffer + a, kTries);
        if (result < 0)
            return result;
        if (a % 1024 == 0)
            report(UpgradeStep::Read, a, count);
    }
    report(UpgradeStep::Read, count, count);
    return result;
}

bool UpgradeWorker::writeFlash(const uint8_t *image, int length)
{
    Screen &screen = *m_request.screen;
    const int n = (length + 511) / 512 * 512;
    if (withRetries(kTries, [&screen] { return screen.setProgramming(true); }) < 0)
        return fail(QStringLiteral("programming mode could not be switched on"));
    report(UpgradeStep::Erase, 0, kEraseSteps);
    m_touched = true;
    bool ok = true;
    for (int i = 0; i < kEraseSteps && ok; ++i) {
        ok = withRetries(kTries, [&screen, i] { return screen.eraseStep(uint8_t(i)); }) >= 0
             || fail(QStringLiteral("erase step %1 failed").arg(i));
        msleep(kEraseStepMs);
        report(UpgradeStep::Erase, i + 1, kEraseSteps);
    }
    for (int a = 0; a < n && ok; a += kFlashChunk) {
        const int count = std::min(n - a, kFlashChunk);
        // All 48 bytes go out even when fewer are to be programmed; past the
        // image they are the 0xFF of erased flash, never bytes from beyond
        // its buffer.
        uint8_t chunk[kFlashChunk];
        std::memset(chunk, 0xFF, sizeof chunk);
        std::memcpy(chunk, image + a, size_t(count));
        ok = flashProgram48(screen, uint32_t(a), uint8_t(count), chunk, kTries) >= 0
             || fail(QStringLiteral("programming the flash at %1 failed").arg(a));
        if (a % 2048 == 0)
            report(UpgradeStep::Program, a, n);
    }
    // Leave programming mode even after a failure, so the screen is not left
    // waiting for more.
    const bool off = withRetries(kTries, [&screen] { return screen.setProgramming(false); }) >= 0
                     || fail(QStringLiteral("programming mode could not be switched off"));
    return ok && off;
}

bool UpgradeWorker::verifyFlash(const uint8_t *image, int length)
{
    const int n = (length + 511) / 512 * 512;
    uint8_t chunk[kFlashChunk];
    int step = 0;
    for (int a = 0; a < n; a += kFlashChunk) {
        if (flashRead48(*m_request.screen, uint32_t(a), chunk, kTries) < 0)
            return fail(QStringLiteral("the flash could not be read back at %1").arg(a));
        const int count = std::min(n - a, kFlashChunk);
        if (std::memcmp(chunk, image + a, size_t(count)) != 0)
            return fail(QStringLiteral("the flash differs from the image at %1").arg(a));
        // Four steps between the last programming value and 100.
        while (step < 4 && a >= n * step / 4) {
            report(UpgradeStep::Verify, step, 4);
            ++step;
        }
    }
    return true;
}

bool UpgradeWorker::upgradeEeprom()
{
    if (m_request.target.kind == DeviceKind::K2tBootLoader)
        return upgradeEepromByTool();
    return upgradeEepromByBridge();
}

bool UpgradeWorker::upgradeEepromByBridge()
{
    if (!m_request.screen)
        return fail(QStringLiteral("no screen to write the EEPROM image to"));
    if (m_request.firmware.size() != kEepromSize)
        return fail(QStringLiteral("an EEPROM image is %1 bytes").arg(kEepromSize));
    std::vector<uint8_t> image(m_request.firmware.cbegin(), m_request.firmware.cend());
    std::vector<uint8_t> current;
    const bool read = readEeprom(current);
    const bool keepsId = read && deviceIdSet(current) && !m_request.newId;
    // The same firmware is the same bytes but for the device ID.
    const auto idStart = std::ptrdiff_t(fwimage::DeviceIdOffset);
    const bool same = read && std::equal(image.begin(), image.begin() + idStart, current.begin())
                      && std::equal(image.begin() + idStart + 8, image.end(), current.begin() + idStart + 8);
    if (keepsId && same && !m_request.reinstall) {
        m_success = UpgradeOutcome::Unchanged;
        return true;
    }
    if (m_request.dryRun) {
        m_success = UpgradeOutcome::WouldWrite;
        return true;
    }
    if (stopAsked()) {
        m_failure = UpgradeOutcome::Stopped;
        return fail(QStringLiteral("stopped before anything was written"));
    }
    if (keepsId) {
        std::copy_n(current.begin() + idStart, 8, image.begin() + idStart);
    } else {
        m_newDeviceId = stampNewDeviceId(image, m_request.knownIds);
        if (m_newDeviceId.isEmpty())
            return fail(QStringLiteral("the EEPROM image is refused"));
    }

    return mayStartWriting() && writeWhole([&] { return writeEeprom(image); });
}

bool UpgradeWorker::writeEeprom(const std::vector<uint8_t> &image)
{
    Screen &screen = *m_request.screen;
    if (withRetries(kTries, [&screen] { return screen.setProgramming(true); }) < 0)
        return fail(QStringLiteral("programming mode could not be switched on"));
    m_touched = true;
    bool ok = true;
    for (int a = 0; a < kEepromSize && ok; a += kEepromLine) {
        const int r = writeConfigLine(screen, uint16_t(a), image.data() + a, kTries);
        if (r < 0) {
            qDebug() << r;
            ok = fail(QStringLiteral("writing the EEPROM at %1 failed").arg(a));
        }
        if (a % 256 == 0)
            report(UpgradeStep::Program, a, kEepromSize);
    }
    const bool off = withRetries(kTries, [&screen] { return screen.setProgramming(false); }) >= 0
                     || fail(QStringLiteral("programming mode could not be switched off"));
    if (!ok || !off)
        return false;

    // Read it all back, 8 bytes at a time, the most the screen answers.
    uint8_t back[8];
    int step = 0;
    for (int a = 0; a < kEepromSize; a += 8) {
        if (readConfig(screen, uint16_t(a), 8, back, kTries) < 0 || std::memcmp(back, image.data() + a, 8) != 0)
            return fail(QStringLiteral("the EEPROM differs from the image at %1").arg(a));
        while (step < 3 && a >= kEepromSize * step / 3) {
            report(UpgradeStep::Verify, step, 3);
            ++step;
        }
    }
    return true;
}

namespace {

constexpr int kEepromSteps = 20;
constexpr int kTelvtoolSteps = 30;
constexpr int kIdWaitMs = 3000;
constexpr int kDownloadAttempts = 5;
constexpr int kServerLimitMs = 12000;
constexpr int kToolEndMs = 2000;

std::atomic<int> g_toolStepMs{1000};

bool toolRunning(const QProcess &tool)
{
    return tool.state() != QProcess::NotRunning;
}

// Kills a tool that only reads and did not answer in time.
void endTool(QProcess &tool)
{
    if (!toolRunning(tool))
        return;
    tool.kill();
    tool.waitForFinished(kToolEndMs);
}

// A tool may fail without a word of "error": its exit status counts too.
bool toolFailed(const QProcess &tool)
{
    return tool.error() == QProcess::FailedToStart || tool.exitStatus() == QProcess::CrashExit
           || tool.exitCode() != 0;
}

bool saysError(const QString &output)
{
    return output.contains(QLatin1String("ERROR")) || output.contains(QLatin1String("error"));
}

} // namespace

void UpgradeWorker::setToolStepMs(int ms)
{
    g_toolStepMs = ms;
}

void inOwnProcessGroup(QProcess &tool)
{
#if defined(Q_OS_WIN)
    tool.setCreateProcessArgumentsModifier(
        [](QProcess::CreateProcessArguments *arguments) { arguments->flags |= platform::detachedFromConsoleFlags(); });
#elif defined(Q_OS_UNIX)
    tool.setChildProcessModifier([] { ::setpgid(0, 0); });
#else
    Q_UNUSED(tool);
#endif
}

std::unique_ptr<QProcess> UpgradeWorker::startTool(const QString &name, const QStringList &arguments,
                                                   bool mergeChannels)
{
    // A boot loader plugged in since the last look would be as likely to
    // get the tool's work as the one chosen.
    if (const QString rivals = bootLoaderRivals(m_request.target, m_request.context); !rivals.isEmpty()) {
        m_failure = UpgradeOutcome::Refused;
        fail(rivals);
        return nullptr;
    }
    auto tool = std::make_unique<QProcess>();
    // Unread, a separate error channel could fill up and stall the tool.
    tool->setProcessChannelMode(mergeChannels ? QProcess::MergedChannels : QProcess::ForwardedErrorChannel);
    inOwnProcessGroup(*tool);
    tool->start(m_request.toolDir + QLatin1Char('/') + name + m_request.exeSuffix, arguments, QIODevice::ReadWrite);
    return tool;
}

bool UpgradeWorker::upgradeEepromByTool()
{
    // The bytes that were checked, not the user's file read again (it may
    // have changed while the user was asked), under a name that no tool
    // takes for an option.
    const std::unique_ptr<QTemporaryFile> file = handOverFile(m_request.firmware.constData(), m_request.firmware.size());
    if (!file)
        return false;
    if (!mayStartWriting())
        return false;
    auto tool = startTool(QStringLiteral("eeprom"), {QStringLiteral("w"), file->fileName()}, true);
    if (!tool)
        return false;
    waitForWrite(*tool, kEepromSteps, [this](int step) { report(UpgradeStep::Program, step, kEepromSteps); });
    return toolWrote(*tool, QStringLiteral("eeprom"), QStringLiteral("EEPROM: "));
}

void UpgradeWorker::waitForWrite(QProcess &tool, int usualSteps, const std::function<void(int)> &step)
{
    int next = 0;
    while (toolRunning(tool)) {
        tool.waitForFinished(g_toolStepMs.load());
        if (next < usualSteps - 1) {
            step(next++);
        } else if (toolRunning(tool)) {
            // Past the usual time: said, and waited for all the same.
            UpgradeProgress slow{UpgradeStep::Program, usualSteps - 1, usualSteps};
            slow.slow = true;
            emit progress(slow);
        }
    }
    // Once it has ended the rest follows at once, as the waits would.
    while (next < usualSteps)
        step(next++);
}

bool UpgradeWorker::toolWrote(QProcess &tool, const QString &name, const QString &label)
{
    const QString output = QString::fromUtf8(tool.readAll());
    qDebug().noquote() << label + output;
    if (toolFailed(tool) || saysError(output)) {
        return fail(QStringLiteral("%1 did not finish its write: %2")
                        .arg(name, saysError(output) ? output.trimmed() : tool.errorString()));
    }
    return true;
}

int UpgradeWorker::downloadScreenBlock(uint8_t *destination)
{
    report(UpgradeStep::Download, 0, 1);
    for (int attempt = 0; attempt < kDownloadAttempts && !stopAsked(); ++attempt) {
        auto tool = startTool(QStringLiteral("telvtool"), {QStringLiteral("id")}, false);
        if (!tool)
            return -1;
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
        const QString key = screenBlockKey({}, identity);
        if (const QByteArray kept = keptScreenBlock(key); !kept.isEmpty() && kept.size() <= kFlashReadRegion) {
            qDebug().noquote() << "Using the screen block kept for identity" << identity;
            std::memcpy(destination, kept.constData(), size_t(kept.size()));
            m_blockSource = BlockSource::Saved;
            return int(kept.size());
        }
        QString why;
        const QByteArray reply = fetchScreenBlock(identity, &why);
        const auto block = fwimage::screenBlockFromReply(std::string_view(reply.constData(), size_t(reply.size())));
        const QString server = QStringLiteral("the firmware server %1 gave no screen block for identity %2")
                                   .arg(firmwareserver::host(), identity);
        if (block.fault == fwimage::Fault::NoReplyMarkers) {
            m_failure = UpgradeOutcome::ServerUnreachable;
            fail(QStringLiteral("%1: %2 (TAVRIK_FIRMWARE_SERVER names another server)")
                     .arg(server, reply.isEmpty() ? why : QStringLiteral("it has none for this identity")));
            return -1;
        }
        if (!block) {
            fail(QStringLiteral("%1 that could be used: %2")
                     .arg(server, QString::fromUtf8(fwimage::describe(block.fault).data())));
            return -1;
        }
        std::memcpy(destination, block.value.data(), block.value.size());
        destination[8] = 0xFF;
        keepBlock(key, view(destination, block.value.size()));
        m_blockSource = BlockSource::Server;
        return int(block.value.size());
    }
    if (stopAsked())
        m_failure = UpgradeOutcome::Stopped;
    fail(stopAsked() ? QStringLiteral("stopped before anything was written")
                         : QStringLiteral("telvtool could not tell the screen's identity"));
    return -1;
}

QByteArray UpgradeWorker::fetchScreenBlock(const QString &identity, QString *why)
{
    // Made on this thread: its replies are delivered to the loop below.
    QNetworkAccessManager network;
    QNetworkRequest request(firmwareserver::screenBlockUrl(firmwareserver::host(), identity));
    QString caProblem;
    request.setSslConfiguration(firmwareserver::tlsConfiguration(&caProblem));
    if (!caProblem.isEmpty())
        qDebug() << "Firmware server authorities:" << caProblem;
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
    const auto none = [why](const QString &text) {
        qDebug().noquote() << "Firmware server:" << text;
        *why = text;
        return QByteArray();
    };
    if (!reply->isFinished()) {
        reply->abort();
        return none(QStringLiteral("it did not answer within %1 s (unreachable)").arg(kServerLimitMs / 1000));
    }
    if (tooLong)
        return none(QStringLiteral("its reply is longer than %1 bytes").arg(firmwareserver::kReplyLimit));
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() != QNetworkReply::NoError) {
        if (!tlsErrors.isEmpty())
            return none(QStringLiteral("its certificate was refused: %1").arg(tlsErrors.join(QStringLiteral("; "))));
        if (status != 0)
            return none(QStringLiteral("it answered HTTP %1 %2")
                            .arg(status)
                            .arg(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString()));
        return none(QStringLiteral("it could not be reached: %1").arg(reply->errorString()));
    }
    bytes += reply->read(firmwareserver::kReplyLimit + 1 - bytes.size());
    if (bytes.size() > firmwareserver::kReplyLimit)
        return none(QStringLiteral("its reply is longer than %1 bytes").arg(firmwareserver::kReplyLimit));
    qDebug().noquote() << "Firmware server: HTTP" << status << QStringLiteral("(%1 bytes)").arg(bytes.size());
    return bytes;
}

QString handOverFolder(const QString &toolDir)
{
    const QString program = QFileInfo(toolDir).absoluteFilePath();
    const QString cache =
        QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + QStringLiteral("/tavrik");
    // Only trying tells: a folder's permission bits say little on Windows,
    // where an installed program's folder is not a standard user's to write.
    const auto takesAFile = [](const QString &folder) {
        QTemporaryFile probe(folder + QStringLiteral("/firmware.local.XXXXXX.bin"));
        return QDir().mkpath(folder) && probe.open();
    };
    const auto hasSpace = [](const QString &folder) { return folder.contains(QLatin1Char(' ')); };
    if (!hasSpace(program) && takesAFile(program))
        return program;
    if (!hasSpace(cache) && takesAFile(cache))
        return cache;
    return takesAFile(program) ? program : cache;
}

std::unique_ptr<QTemporaryFile> UpgradeWorker::handOverFile(const char *bytes, qint64 length)
{
    const QString folder = handOverFolder(m_request.toolDir);
    // A file of this run's own, removed when the write is over: two upgrades
    // at once (two windows, two programs) must never hand the tool each
    // other's image, and a file that failed to be written must not let the
    // tool program an older one.
    auto file = std::make_unique<QTemporaryFile>(folder + QStringLiteral("/firmware.local.XXXXXX.bin"));
    if (!file->open() || file->write(bytes, length) != length || !file->flush()) {
        fail(QStringLiteral("the hand-over file cannot be written in %1: %2").arg(folder, file->errorString()));
        return nullptr;
    }
    file->close();
    return file;
}

bool UpgradeWorker::writeByTool(const uint8_t *image, int length)
{
    const std::unique_ptr<QTemporaryFile> file = handOverFile(reinterpret_cast<const char *>(image), length);
    if (!file)
        return false;
    auto tool = startTool(QStringLiteral("telvtool"),
                          {QStringLiteral("spinor"), QStringLiteral("write"), QStringLiteral("0"), file->fileName()},
                          true);
    if (!tool)
        return false;
    waitForWrite(*tool, kTelvtoolSteps, [this](int step) { report(UpgradeStep::Program, step, kTelvtoolSteps - 1); });
    return toolWrote(*tool, QStringLiteral("telvtool"), QString());
}

} // namespace session
