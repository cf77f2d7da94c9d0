#include "upgradethread.h"

#include "bridge.h"
#include "eeprom.h"
#include "requests.h"
#include "splice.h"

#include <QDebug>
#include <QFile>

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
    return writeFlash(image, length) && verifyFlash(image, length);
}

int UpgradeThread::readFlash(uint8_t *buffer, int count)
{
    int result = 0;
    for (int a = 0; a < count; a += kFlashChunk) {
        result = flashRead48(*m_screen, uint32_t(a), buffer + a);
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
    if (setProgramming(h, true) < 0)
        return false;
    report(25);
    bool ok = true;
    for (int i = 0; i < kEraseSteps && ok; ++i) {
        ok = eraseStep(h, uint8_t(i)) >= 0;
        msleep(kEraseStepMs);
        report(30 + i);
    }
    for (int a = 0; a < n && ok; a += kFlashChunk) {
        const int count = std::min(n - a, kFlashChunk);
        // All 48 bytes go out even when fewer are to be programmed.
        ok = flashProgram48(*m_screen, uint32_t(a), uint8_t(count), image + a) >= 0;
        if (a % 2048 == 0)
            report(std::min(a * 50 / n + 50, 95));
    }
    // Leave programming mode even after a failure, so the screen is not left
    // waiting for more.
    const bool off = setProgramming(h, false) >= 0;
    return ok && off;
}

bool UpgradeThread::verifyFlash(const uint8_t *image, int length)
{
    const int n = (length + 511) / 512 * 512;
    uint8_t chunk[kFlashChunk];
    int step = 0;
    for (int a = 0; a < n; a += kFlashChunk) {
        if (flashRead48(*m_screen, uint32_t(a), chunk) < 0)
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
    if (setProgramming(h, true) < 0)
        return false;
    bool ok = true;
    for (int a = 0; a < kEepromSize && ok; a += kEepromLine) {
        const int r = writeConfigLine(*m_screen, uint16_t(a), image.data() + a);
        if (r < 0) {
            qDebug() << r;
            ok = false;
        }
        if (a % 256 == 0)
            report(a * 100 / kEepromSize);
    }
    const bool off = setProgramming(h, false) >= 0;
    if (!ok || !off)
        return false;

    // Read it all back, 8 bytes at a time, the most the screen answers.
    uint8_t back[8];
    int step = 0;
    for (int a = 0; a < kEepromSize; a += 8) {
        if (readConfig(*m_screen, uint16_t(a), 8, back) < 0 || std::memcmp(back, image.data() + a, 8) != 0) {
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

// The boot-loader paths go through external tools and the firmware server,
// which this build does not drive yet: they fail before touching anything.
bool UpgradeThread::upgradeEepromByTool()
{
    qDebug() << "Upgrade of a screen in its boot loader is not available.";
    return false;
}

int UpgradeThread::downloadScreenBlock(uint8_t *)
{
    qDebug() << "Upgrade of a screen in its boot loader is not available.";
    return -1;
}

bool UpgradeThread::writeByTool(const uint8_t *, int)
{
    return false;
}
