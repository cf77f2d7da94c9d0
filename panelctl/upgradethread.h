#pragma once

#include "screen.h"

#include <QProcess>
#include <QString>
#include <QThread>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

// The firmware upgrade worker. Chooses the TELV or the EEPROM sequence by
// the firmware path and its way of writing by the screen's USB IDs, checks
// the image before anything is erased, reads back what it wrote, and ends
// with exactly one final progress value: 100 for success, -1 for failure.
class UpgradeThread : public QThread {
    Q_OBJECT

public:
    explicit UpgradeThread(QObject *parent = nullptr) : QThread(parent) {}
    ~UpgradeThread() override;

    // Set while the worker is not running.
    QString firmwarePath;
    // Where the boot-loader tools are, and their file name suffix.
    QString applicationDir;
    QString exeSuffix;

    // Starts the upgrade of `screen` (null for a screen handed to a tool),
    // which enumerated as vendorId:productId. Does nothing while running.
    void startUpgrade(std::shared_ptr<screenlink::Screen> screen, uint16_t vendorId, uint16_t productId);
    // A worker waiting for the user to close a box stops waiting; for an
    // owner that is going away and can no longer show it.
    void abandonPrompts();
    // Running, or not and then everything the last run did is visible to
    // the caller (thread checkers do not see through QThread::wait).
    bool isBusy() const;

signals:
    void progress(int percent);

protected:
    void run() override;

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
    std::unique_ptr<QProcess> startTool(const QString &name, const QStringList &arguments, bool mergeChannels);
    // The server's reply for `identity`, as far as it came within the limit.
    QByteArray fetchScreenBlock(const QString &identity);
    // The critical box on the GUI thread; returns once it is closed.
    void tellServerFailed();
    void report(int value);

    std::shared_ptr<screenlink::Screen> m_screen;
    uint16_t m_vendorId = 0xFFFF;
    uint16_t m_productId = 0xFFFF;
    std::atomic<bool> m_finished{false}; // visible hand-over after wait()
    std::atomic<bool> m_promptsAbandoned{false};
};
