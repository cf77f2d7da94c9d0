#pragma once

#include "devicelist.h"
#include "screen.h"
#include "screeninfo.h"
#include "upgradesteps.h"
#include "worker.h"

#include <QByteArray>
#include <QProcess>
#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>

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

    UpgradePath path() const;
};

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
    // A stop (requestStop()) ends the upgrade only while nothing has been
    // written yet; once this is true the write is finished whatever is
    // asked, so that no screen is left half-written.
    bool writing() const { return m_writing; }

    // Tries of each request or bridge transaction that writes or checks the
    // screen's memory.
    static constexpr int kTries = 3;

signals:
    void progress(session::UpgradeProgress progress);
    void upgradeFinished(session::UpgradeResult result);

protected:
    void work() override;

private:
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
    std::unique_ptr<QProcess> startTool(const QString &name, const QStringList &arguments, bool mergeChannels);
    // The server's reply for `identity`, as far as it came within the limit.
    QByteArray fetchScreenBlock(const QString &identity);
    void report(UpgradeStep step, int done, int total);
    bool fail(const QString &reason);
    // The screen at hand is still the one chosen.
    bool stillChosen();
    // False (and the upgrade fails) when a stop came before the first write.
    bool mayStartWriting();

    UpgradeRequest m_request;
    QString m_reason;
    UpgradeOutcome m_failure = UpgradeOutcome::Failed;
    std::atomic<bool> m_writing{false};
};

} // namespace session

