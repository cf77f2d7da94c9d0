#include "screenblocks.h"

#include "firmwareserver.h"
#include "remembered.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <cstdint>

namespace session {

namespace {

// A screen block is a few KiB; a larger file is no block of ours.
constexpr qint64 kLargestBlock = 64 * 1024;
constexpr int kHeadSize = 8;

bool wholeBlock(const QByteArray &block)
{
    if (block.size() < kHeadSize)
        return false;
    const auto *b = reinterpret_cast<const uint8_t *>(block.constData());
    const uint32_t length = uint32_t(b[4]) | uint32_t(b[5]) << 8 | uint32_t(b[6]) << 16 | uint32_t(b[7]) << 24;
    return uint64_t(length) + kHeadSize == uint64_t(block.size());
}

} // namespace

QString screenBlockFolder()
{
    return stateFolder() + QStringLiteral("/screen-blocks");
}

QString screenBlockKey(const QString &deviceId, const QString &identity)
{
    if (isDeviceId(deviceId))
        return QStringLiteral("id-") + deviceId.toLower();
    if (!identity.isEmpty() && firmwareserver::plainIdentity(identity))
        return QStringLiteral("identity-") + identity;
    return {};
}

bool keepScreenBlock(const QString &key, const QByteArray &block, QString *why)
{
    const QString folder = screenBlockFolder();
    if (key.isEmpty() || !wholeBlock(block)) {
        *why = QStringLiteral("no whole screen block to keep");
        return false;
    }
    if (!QDir().mkpath(folder)) {
        *why = QStringLiteral("%1 cannot be made").arg(folder);
        return false;
    }
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    // Written whole or not at all: a half-kept block would be worse than none.
    QSaveFile file(folder + QLatin1Char('/') + key + QStringLiteral(".bin"));
    if (!file.open(QIODevice::WriteOnly)
        || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        || file.write(block) != block.size() || !file.commit()) {
        *why = QStringLiteral("%1: %2").arg(file.fileName(), file.errorString());
        return false;
    }
    return true;
}

QByteArray keptScreenBlock(const QString &key)
{
    if (key.isEmpty())
        return {};
    QFile file(screenBlockFolder() + QLatin1Char('/') + key + QStringLiteral(".bin"));
    if (!file.open(QIODevice::ReadOnly) || file.size() > kLargestBlock)
        return {};
    const QByteArray block = file.read(kLargestBlock);
    return wholeBlock(block) ? block : QByteArray();
}

} // namespace session
