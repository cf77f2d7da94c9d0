#pragma once

#include <QByteArray>
#include <QString>

// Screen blocks kept from TELV screens: the block is what is particular to
// one unit (its panel's calibration), and an erase that is cut off takes it
// with the flash. Each is kept in the user's state folder, readable by the
// user alone, under the screen's device ID (read from a running screen) or
// its identity (told by its boot loader's tool).
namespace session {

// "id-DEVICEID" or "identity-IDENTITY"; empty for a value that is neither
// (nothing is kept or looked up under it).
QString screenBlockKey(const QString &deviceId, const QString &identity = {});

// False with `why` when it cannot be written. A block kept earlier under
// the key is replaced.
bool keepScreenBlock(const QString &key, const QByteArray &block, QString *why);
// The block kept under `key`; empty when none is, or when the file does not
// hold one whole block.
QByteArray keptScreenBlock(const QString &key);
QString screenBlockFolder();

} // namespace session
