#pragma once

#include "commandline.h"
#include "progress.h"
#include "screenbus.h"
#include "upgradesteps.h"

#include <QJsonObject>
#include <QObject>

#include <atomic>
#include <memory>
#include <vector>

namespace tavrikctl {

// The upgrade of every selected screen at once, one job each: the file for
// each screen and its checks, the confirmation, progress, and the summary
// of which file went to which screen and what it runs now. Stops (Ctrl-C,
// SIGTERM, SIGHUP) are taken only where nothing has been written yet.
class UpgradeRun : public QObject {
    Q_OBJECT

public:
    // `attached` is every screen listed: ports are named as that list tells them apart.
    UpgradeRun(const Command &command, std::vector<session::ScreenInfo> screens,
               std::vector<session::ScreenInfo> attached, const session::ScreenBus &bus,
               const std::atomic<int> &interrupts);
    ~UpgradeRun() override;

    // Checks, asks and starts; returns the exit code when it ends before
    // any job starts, -1 when jobs run (finished() follows).
    int start();

signals:
    void finished(int exitCode);

private:
    struct Job;
    int check();
    void refuse(Job &job, const QString &why);
    bool confirm();
    void begin(Job &job);
    void onEnded(Job &job, const session::UpgradeResult &result);
    void summarise();
    QString resultLine(const Job &job) const;
    QJsonObject jobJson(const Job &job) const;
    void printJson(int exitCode) const;
    void pollInterrupts();
    int remainingSeconds() const;
    QString name(const Job &job) const;

    Command m_command;
    std::vector<session::ScreenInfo> m_screens;
    std::vector<session::ScreenInfo> m_attached;
    const session::ScreenBus &m_bus;
    const std::atomic<int> &m_interrupts;
    int m_interruptsSeen = 0;
    std::vector<std::unique_ptr<Job>> m_jobs;
    std::unique_ptr<ProgressBoard> m_board;
    int m_running = 0;
    bool m_stopped = false;
};

} // namespace tavrikctl
