#pragma once

#include "devicelist.h"
#include "telvimage.h"
#include "screen.h"
#include "screeninfo.h"
#include "upgradesteps.h"
#include "worker.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class QTemporaryFile;

namespace session {

// What an upgrade is given, all of it at its start.
struct UpgradeRequest {
    // The file as chosen; its family decides the sequence, and its name is
    // what messages show.
    QString firmwarePath;
    // The file as it was checked, read once.
    QByteArray firmware;
    // The open screen; null for a boot-loader screen handed to its tool.
    std::shared_ptr<screenlink::Screen> screen;
    // The screen chosen: how it enumerated decides how the image is
    // written, and its device ID is checked again before the first write.
    ScreenInfo target;
    // Where the boot-loader tools are, and their file name suffix.
    QString toolDir;
    QString exeSuffix;
    // The device IDs of the screens attached, as the front end listed
    // them: a new ID stamped into an EEPROM image is none of them.
    QStringList knownIds;
    // Written even when the screen holds this image already.
    bool reinstall = false;
    // A K2T/K5TX screen gets a new device ID even when it has one.
    bool newId = false;
    // Only compared: ends Unchanged or WouldWrite, nothing erased.
    bool dryRun = false;
    // The bus, for the boot-loader paths to look again before each tool
    // runs; UpgradeJob sets it.
    std::shared_ptr<screenlink::UsbContext> context;

    UpgradePath path() const;
};

// Why the boot-loader tool that would write `target` could write another
// screen: it takes whichever waits in its boot loader, and `attached` has
// others there. Names their ports and what to do; empty when `target` is
// the only one (or is no boot loader).
QString bootLoaderRivals(const ScreenInfo &target, const std::vector<ScreenInfo> &attached);
// The same, for what is on the bus now.
QString bootLoaderRivals(const ScreenInfo &target, const std::shared_ptr<screenlink::UsbContext> &context);

// Where the boot-loader tools get their private copy of an image: beside
// the program, as their users know it, when a file can be made there and
// its path has no space; else the user's own cache folder when that has
// none (the tools may fail on paths with spaces); else whichever of the
// two takes a file.
QString handOverFolder(const QString &toolDir);

// Makes `tool`, when started, a process group of its own (on Windows also
// with a console of its own): a Ctrl-C, a hang-up or a closed console meant
// for the program that runs it must not cut off its write.
void inOwnProcessGroup(QProcess &tool);

// The firmware upgrade of one screen. Chooses the TELV or the EEPROM
// sequence by the firmware file's family and its way of writing by the
// screen's kind, checks the image and that the screen is still the one
// chosen before anything is erased, tries a failed request again before
// giving up, reads back what it wrote, and ends with exactly one result.
// Restarting the screen is its owner's (UpgradeJob).
class UpgradeWorker : public Worker {
    Q_OBJECT

public:
    explicit UpgradeWorker(QObject *parent = nullptr) : Worker(parent) {}
    ~UpgradeWorker() override;

    // Does nothing (false) while an upgrade runs.
    bool begin(UpgradeRequest request);
    // A stop ends the upgrade only while nothing has been written yet; once
    // this is true the write is finished whatever is asked, so that no
    // screen is left half-written.
    bool writing() const { return m_phase.load() == Phase::Writing; }
    // True when the upgrade stops (nothing written); false when it writes
    // already and finishes first. One atomic step with the start of the
    // write, so a stop is never lost between the two.
    bool askToStop();
    void requestStop() override { askToStop(); }

    // Tries of each request or bridge transaction that writes or checks the
    // screen's memory.
    static constexpr int kTries = 3;
    // Whole writes (erase, program, read back) of a running screen while it
    // answers, before its firmware is given up as incomplete.
    static constexpr int kPasses = 3;
    // One progress step of a boot-loader tool; after 20 (eeprom) or 30
    // (telvtool) its write is taken as slow. Tests shorten it.
    static void setToolStepMs(int ms);

signals:
    void progress(session::UpgradeProgress progress);
    void upgradeFinished(session::UpgradeResult result);

protected:
    void work() override;

private:
    enum class Phase { MayStop, StopAsked, Writing };

    bool upgradeTelv();
    bool upgradeEeprom();
    bool upgradeEepromByBridge();
    bool upgradeEepromByTool();
    // Flash of a running TELV screen.
    int readFlash(uint8_t *buffer, int count);
    bool writeFlash(const uint8_t *image, int length);
    bool verifyFlash(const uint8_t *image, int length);
    // Boot-loader TELV screens: the screen block from the vendor's server,
    // the image through the external tool.
    int downloadScreenBlock(uint8_t *destination);
    bool writeByTool(const uint8_t *image, int length);
    // A private copy of `bytes` for a tool to read, removed with the object;
    // null (and the upgrade fails) when it cannot be written.
    std::unique_ptr<QTemporaryFile> handOverFile(const char *bytes, qint64 length);
    // Null (and the upgrade fails) when another screen waits in the same
    // boot loader by now: the tool could take that one.
    std::unique_ptr<QProcess> startTool(const QString &name, const QStringList &arguments, bool mergeChannels);
    // Waits for a tool that writes, however long: a write cut off can leave
    // a screen that does not even come back in its boot loader.
    void waitForWrite(QProcess &tool, int usualSteps, const std::function<void(int)> &step);
    // Whether a tool that ended wrote its image; its output goes to the
    // debug output after `label`.
    bool toolWrote(QProcess &tool, const QString &name, const QString &label);
    bool writeEeprom(const std::vector<uint8_t> &image);
    // Runs `pass` (erase, program, read back) again while it fails after
    // touching the memory and the screen answers; ends incomplete else.
    bool writeWhole(const std::function<bool()> &pass);
    // The server's reply for `identity`, as far as it came within the
    // limit; empty with `why` (unreachable, certificate refused, ...) else.
    QByteArray fetchScreenBlock(const QString &identity, QString *why);
    // Whether the flash already holds `image` up to `length`, given the
    // boot region `start` read from it: read on only while it matches.
    bool flashHolds(const std::vector<uint8_t> &start, const uint8_t *image, int length);
    // The whole EEPROM; false when it could not be read.
    bool readEeprom(std::vector<uint8_t> &eeprom);
    // Saves the screen block a running screen still has, before its erase.
    void keepBlock(const QString &key, fwimage::ByteView block);
    void report(UpgradeStep step, int done, int total);
    bool fail(const QString &reason);
    // The screen at hand is still the one chosen.
    bool stillChosen();
    // False (and the upgrade fails) when a stop came before the first write.
    bool mayStartWriting();
    bool stopAsked() const { return m_phase.load() == Phase::StopAsked; }
    // Whether a running screen still answers, worth a whole write again.
    bool screenAnswers();

    UpgradeRequest m_request;
    QString m_reason;
    UpgradeOutcome m_failure = UpgradeOutcome::Failed;
    // Done, or Unchanged / WouldWrite when nothing needed writing.
    UpgradeOutcome m_success = UpgradeOutcome::Done;
    BlockSource m_blockSource = BlockSource::None;
    QString m_newDeviceId;
    std::atomic<Phase> m_phase{Phase::MayStop};
    // The first erase or write went out: a failure from here on leaves the
    // screen's memory incomplete.
    bool m_touched = false;
};

} // namespace session

