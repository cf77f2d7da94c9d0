#pragma once

#include "firmwarefile.h"
#include "devicelist.h"

#include <QMetaType>
#include <QString>

// What an upgrade is doing and how it ended, as typed values: the worker
// reports them, the session passes them on, the front ends only show them.
namespace session {

// How a screen is written, by the firmware file's family and the way the
// screen enumerated.
enum class UpgradePath { TelvRunning, TelvBootLoader, EepromRunning, EepromBootLoader };
UpgradePath upgradePath(fwimage::FirmwareFamily fileFamily, screenlink::DeviceKind kind);
// Whether the screen runs its new firmware only once unplugged and plugged
// in again (EEPROM images); TELV screens are restarted by the upgrade.
bool needsReplug(UpgradePath path);

enum class UpgradeStep { Download, Read, Erase, Program, Verify, Restart };

// One step's progress: `done` of `total` units.
struct UpgradeProgress {
    UpgradeStep step = UpgradeStep::Read;
    int done = 0;
    int total = 1;
    // A boot-loader tool writes for longer than it usually takes: it is
    // waited for all the same, and the user is told to keep the screen in.
    bool slow = false;
};

// What the front ends say while a write takes longer than usual.
QString stillWritingText();

// The value panelctl's progress bar shows for `p`: read 0-40, then 25 and
// 30-45 while erasing, 50-95 programming, 96-99 reading back (TELV); 40-98
// while the boot-loader tool writes; 0-96 then 97-99 for EEPROM images.
int dialogValue(UpgradePath path, const UpgradeProgress &p);
// The whole upgrade's share done, 0 to 100, for a bar that only climbs.
int overallPercent(UpgradePath path, const UpgradeProgress &p);
// "download", "read", "erase", "program", "verify", "restart"
QString stepWord(UpgradeStep step);

enum class UpgradeOutcome {
    Done,
    Failed,            // nothing of the image reached the screen's memory
    Refused,           // not started: the reason says what to do first
    Stopped,           // asked to stop before anything was written
    ServerUnreachable, // the firmware server gave no screen block
    // The write began and did not end whole, also after writing it all
    // again: the screen's firmware is incomplete.
    Incomplete,
    // The screen holds this image already: nothing was erased or written.
    Unchanged,
    // A dry run found that the screen holds something else: it would be written.
    WouldWrite,
};

// Where a TELV image's screen block came from.
enum class BlockSource { None, Screen, Saved, Server };
// "screen", "saved", "server"; empty for None.
QString blockSourceWord(BlockSource source);

// How a screen left with incomplete firmware is brought back.
QString incompleteAdvice();

struct UpgradeResult {
    UpgradeOutcome outcome = UpgradeOutcome::Failed;
    QString reason;      // why it did not end done, in a few words
    QString oldVersion;  // the firmware the screen ran before, when known
    QString newVersion;  // what it runs after its restart
    bool replug = false; // done, and it runs the new firmware once plugged in again
    bool written = false; // the image was written and read back, whatever came after
    // A K2T/K5TX screen's new device ID, when the upgrade gave it one; empty
    // when it kept its own.
    QString newDeviceId;
    BlockSource blockSource = BlockSource::None;
    // Done, or nothing needed doing: the screen runs the file's firmware.
    bool done() const { return outcome == UpgradeOutcome::Done || outcome == UpgradeOutcome::Unchanged; }
};

} // namespace session

Q_DECLARE_METATYPE(session::UpgradeProgress)
Q_DECLARE_METATYPE(session::UpgradeResult)
