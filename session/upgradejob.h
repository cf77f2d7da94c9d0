#pragma once

#include "exclusivename.h"
#include "linkthread.h"
#include "upgrade.h"
#include "usbhandles.h"

#include <QElapsedTimer>
#include <QObject>
#include <QProcess>

#include <memory>
#include <optional>

namespace session {

// One screen's whole upgrade, as both front ends run it: the write by the
// worker, then the restart, and done only once the screen came back,
// identified, with its firmware version beside the old one. The job holds
// the screen from its start to its end; the front ends only show what it
// reports.
class UpgradeJob : public QObject {
    Q_OBJECT

public:
    explicit UpgradeJob(std::shared_ptr<screenlink::UsbContext> context, QObject *parent = nullptr);
    // A write under way is finished first: a screen cut off midway does not
    // start.
    ~UpgradeJob() override;

    // False while one runs, or when it cannot start (then ended() follows
    // with the reason): the chosen boot-loader screen is no longer the one
    // at its port, or its tool could take another screen, or another
    // program of ours keeps the port.
    bool begin(UpgradeRequest request);
    bool running() const { return m_running; }
    // Memory is being written: a stop is not taken any more.
    bool writing() const;
    // Taken only before the first write: true when the job then ends as
    // stopped, false when it finishes its write first.
    bool requestStop();
    UpgradePath path() const { return m_path; }

    // How long a restarted screen may take to come back.
    static constexpr int kBackWithinMs = 30000;

signals:
    void progress(session::UpgradeProgress progress);
    void ended(session::UpgradeResult result);

private:
    void onWritten(const UpgradeResult &result);
    void lookForTheScreen();
    void finish(const UpgradeResult &result);
    // Ends a job that did not start, once the caller has its answer.
    void refuse(const QString &reason);

    std::shared_ptr<screenlink::UsbContext> m_context;
    std::unique_ptr<UpgradeWorker> m_worker;
    UpgradeRequest m_request;
    UpgradePath m_path = UpgradePath::TelvRunning;
    UpgradeResult m_result;
    bool m_running = false;
    int m_oldAddress = 0;
    QElapsedTimer m_restartClock;
    // Since the screen came back in use: another program's listing holds
    // it for a moment, not for good.
    QElapsedTimer m_inUseClock;
    std::unique_ptr<QProcess> m_resetTool;
    // The port, ours from the start until the screen is back: no claim of
    // the device covers a boot loader while its tool is yet to take it.
    std::unique_ptr<platform::ExclusiveName> m_hold;
    LinkThread m_link;
};

} // namespace session
