#pragma once

#include "commandline.h"
#include "fleet.h"
#include "progress.h"

#include <QObject>

#include <atomic>
#include <cstdio>
#include <memory>
#include <vector>

namespace session {
class UpgradeWorker;
struct UpgradeResult;
}

namespace tavrikctl {

// The upgrade of every selected screen at once, one worker each: checks,
// confirmation, progress, restarts and the summary. Stops (Ctrl-C) are
// taken only where nothing has been written yet.
class UpgradeRun : public QObject {
    Q_OBJECT

public:
    UpgradeRun(const Command &command, std::vector<ScreenRecord> screens,
               std::shared_ptr<screenlink::UsbContext> context, const std::atomic<int> &interrupts);
    ~UpgradeRun() override;

    // Checks, asks and starts; returns the exit code when it ends before
    // any worker starts, -1 when workers run (finished() follows).
    int start();

signals:
    void finished(int exitCode);

private:
    struct Job;
    void onProgress(Job &job, int value);
    void onFinished(Job &job, const session::UpgradeResult &result);
    void pollInterrupts();
    int remainingSeconds() const;
    bool confirm();

    Command m_command;
    std::vector<ScreenRecord> m_screens;
    std::shared_ptr<screenlink::UsbContext> m_context;
    const std::atomic<int> &m_interrupts;
    int m_interruptsSeen = 0;
    std::vector<std::unique_ptr<Job>> m_jobs;
    std::unique_ptr<ProgressBoard> m_board;
    int m_running = 0;
    bool m_stopped = false;
};

} // namespace tavrikctl
