#pragma once

#include "devicelist.h"
#include "firmwarefile.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// Choosing the firmware file for an upgrade: the model's own file, the
// warning that lists every model's file, the family a screen is upgraded
// as, and the file checked and read once.
namespace session {

// The model's file: the firmware folder beside the program's folder, the
// model firmware name appended as plain text.
QString defaultFirmwarePath(const QString &programDir, const QString &modelFirmwareName);
// Whether the model is known well enough to offer its own file.
bool offersModelFirmware(const QString &modelFirmwareName);

// The warning shown before a file is chosen by hand, one line per entry
// (each with its line end), in English: translated one by one, then joined.
QStringList riskTextLines();

// The family a screen is upgraded as: TELV when its identification says
// so, or when it waits in the TELV boot loader.
fwimage::FirmwareFamily firmwareFamily(screenlink::DeviceKind kind, const QString &identification);

// The file at `path` checked for `family`: whether it could be opened, the
// verdict, and its content (at most one image buffer) for the upgrade.
struct FirmwareFile {
    bool opened = false;
    fwimage::FileVerdict verdict = fwimage::FileVerdict::Accepted;
    QByteArray content;
    bool ok() const { return opened && verdict == fwimage::FileVerdict::Accepted; }
};
FirmwareFile readFirmwareFile(const QString &path, fwimage::FirmwareFamily family);

// The boot-loader tool the upgrade of `path` needs for a screen that
// enumerated as `id` ("telvtool" or "eeprom"); empty when it needs none.
QString requiredTool(const QString &path, screenlink::UsbId id);

} // namespace session
