#pragma once

#include "devicelist.h"
#include "firmwarefile.h"
#include "modeltable.h"
#include "screeninfo.h"
#include "upgradesteps.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

// Choosing the firmware file for an upgrade: the model's own file, the
// warning that lists every model's file, the family a screen is upgraded
// as, and the file checked and read once.
namespace session {

// The model's file: the firmware folder beside the program's folder, with
// the model firmware name appended.
QString defaultFirmwarePath(const QString &programDir, const QString &modelFirmwareName);

// Where firmware files are looked for, in order: `chosen` (a folder the
// user named), $TAVRIK_FIRMWARE_DIR, the folder beside the program's
// folder, then tavrik/firmware in each XDG data folder. Empty entries are
// left out; the folders need not exist.
QStringList firmwareFolders(const QString &programDir, const QString &chosen = {});
// `name` (relative, as the model table has it) in the first of `folders`
// that holds it; empty when none does.
QString findFirmware(const QStringList &folders, const QString &name);
// "Can not open file." naming every path where `name` was looked for.
QString missingFirmwareText(const QStringList &folders, const QString &name);
// Whether the model is known well enough to offer its own file.
bool offersModelFirmware(const QString &modelFirmwareName);

// The warning shown before a file is chosen by hand, one line per entry
// (each with its line end), in English: translated one by one, then joined.
QStringList riskTextLines();

// The file at `path` checked for `family`: whether it could be opened, the
// verdict, and its content (at most one image buffer) for the upgrade.
struct FirmwareFile {
    bool opened = false;
    fwimage::FileVerdict verdict = fwimage::FileVerdict::Accepted;
    QByteArray content;
    bool ok() const { return opened && verdict == fwimage::FileVerdict::Accepted; }
};
FirmwareFile readFirmwareFile(const QString &path, fwimage::FirmwareFamily family);

// The boot-loader tool a way of writing needs ("telvtool" or "eeprom");
// empty when it needs none.
QString requiredTool(UpgradePath path);

// The screen's own model firmware in the firmware folder beside
// `programDir`; empty for a screen whose model has none (or is unknown, as
// in a boot loader).
QString modelFirmwarePath(const QString &programDir, const ScreenInfo &screen);

// The models an image is made for, as far as its content tells: an EEPROM
// image by the panel codes it carries, a TELV image by the official file in
// `folders` whose model print it shares (a logo merged into an official
// image keeps that image's). Empty when the content tells nothing.
std::vector<const screenlink::ModelRow *> modelsOfImage(const QByteArray &content, fwimage::FirmwareFamily family,
                                                        const QStringList &folders);
// A model as people know it: "6.8inch/TAVRIK-6.8INRGB", else by its panel
// ("1024x600 TELV panel").
QString modelName(const screenlink::ModelRow &row);

struct UpgradeCheckOptions {
    QString toolDir;  // where the boot-loader tools are
    QString exeSuffix;
    bool anyModel = false; // another model's file of the same family is let through
    // Every screen attached: a boot loader's tool cannot be told which of
    // two in the same boot loader to write.
    std::vector<ScreenInfo> attached;
    // Where the models' official files are: a TELV image is told by the
    // official file it was made from.
    QStringList firmwareFolders;
};

// Whether `path` may be written to `screen`, checked before anything is:
// the screen can be had (and is the only one in its boot loader), the file
// opens and passes its family's checks, it
// is the model's own file (unless any model is allowed), and the tool the
// way of writing needs is there.
struct UpgradeCheck {
    enum class Problem {
        None,
        Screen,     // in use, or could not be opened
        File,       // cannot be opened, or fails the family's checks
        OtherModel, // another model's file
        Tool,       // the boot-loader tool is missing
    };
    Problem problem = Problem::None;
    QString refusal; // why not, in a few words; empty when it may
    FirmwareFile file;
    UpgradePath path = UpgradePath::TelvRunning;
    QString tool; // the boot-loader tool it needs, if any
    // With OtherModel: the screen's model and the one the file is for (as
    // its content or, where that tells nothing, its name says).
    QString screenModel;
    QString fileModel;
    bool ok() const { return refusal.isEmpty(); }
};
UpgradeCheck checkUpgrade(const ScreenInfo &screen, const QString &path, const UpgradeCheckOptions &options);

} // namespace session
