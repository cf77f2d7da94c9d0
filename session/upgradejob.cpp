#include "upgradejob.h"

#include "discovery.h"

#include <QTimer>

namespace session {

using namespace screenlink;

namespace {

constexpr int kLookEveryMs = 250;
constexpr int kToolResetWaitMs = 1000;
// As long as a program's look at a screen may hold it (a listing).
constexpr int kInUsePatienceMs = 2000;

} // namespace

UpgradeJob::UpgradeJob(std::shared_ptr<UsbContext> context, QObject *parent)
    : QObject(parent), m_context(std::move(context)), m_worker(std::make_unique<UpgradeWorker>())
{
    qRegisterMetaType<session::UpgradeProgress>();
    qRegisterMetaType<session::UpgradeResult>();
    connect(m_worker.get(), &UpgradeWorker::progress, this, &UpgradeJob::progress);
    connect(m_worker.get(), &UpgradeWorker::upgradeFinished, this, &UpgradeJob::onWritten);
}

UpgradeJob::~UpgradeJob()
{
    m_worker->waitEnded();
    if (m_resetTool)
        m_resetTool->waitForFinished(kToolResetWaitMs);
}

bool UpgradeJob::begin(UpgradeRequest request)
{
    if (m_running)
        return false;
    m_running = true;
    m_result = {};
    m_path = request.path();
    m_oldAddress = request.target.address;
    request.context = m_context;
    // Taken while the screen's claim is still ours, so that no other
    // program of ours gets between the two.
    m_hold = platform::ExclusiveName::take(request.target.port.holdName());
    if (!m_hold) {
        refuse(QStringLiteral("the screen at %1 is in use by another program").arg(request.target.port.fullText()));
        return false;
    }
    if (!request.target.running() && request.screen) {
        // A boot loader answers nothing of ours: that it is still this
        // plug-in is all there is to check before its tool takes it.
        if (!request.screen->stillOnBus()) {
            refuse(QStringLiteral("the screen at %1 left the bus or was replaced").arg(request.target.port.fullText()));
            return false;
        }
        if (const QString rivals = bootLoaderRivals(request.target, m_context); !rivals.isEmpty()) {
            refuse(rivals);
            return false;
        }
        request.screen.reset(); // its tool's to claim
    }
    m_request = request;
    return m_worker->begin(std::move(request));
}

void UpgradeJob::refuse(const QString &reason)
{
    UpgradeResult refused;
    refused.outcome = UpgradeOutcome::Refused;
    refused.reason = reason;
    QTimer::singleShot(0, this, [this, refused] { finish(refused); });
}

bool UpgradeJob::writing() const
{
    return m_worker->writing();
}

bool UpgradeJob::requestStop()
{
    // Once written, the job only looks for the screen coming back.
    return m_running && !m_result.written && m_worker->askToStop();
}

void UpgradeJob::onWritten(const UpgradeResult &result)
{
    m_worker->waitEnded();
    m_result = result;
    // Nothing written: the screen runs on as it was, with no restart.
    if (!result.done() || result.replug || result.outcome == UpgradeOutcome::Unchanged) {
        if (result.outcome == UpgradeOutcome::Unchanged)
            m_result.newVersion = result.oldVersion;
        finish(m_result);
        return;
    }
    emit progress(UpgradeProgress{UpgradeStep::Restart, 0, 1});
    if (m_path == UpgradePath::TelvBootLoader && !bootLoaderRivals(m_request.target, m_context).isEmpty()) {
        // Its tool could restart another boot loader that came meanwhile:
        // a power cycle starts the new firmware as well.
        m_result.replug = true;
        finish(m_result);
        return;
    }
    if (m_path == UpgradePath::TelvBootLoader) {
        // Out of its boot loader through its tool.
        m_resetTool = std::make_unique<QProcess>();
        inOwnProcessGroup(*m_resetTool);
        m_resetTool->start(m_request.toolDir + QStringLiteral("/telvtool") + m_request.exeSuffix,
                           {QStringLiteral("reset")});
    } else if (m_request.screen) {
        m_request.screen->requestReboot();
    }
    // Let go, so that the screen that comes back can be opened anew.
    m_request.screen.reset();
    m_restartClock.start();
    m_inUseClock.invalidate();
    lookForTheScreen();
}

void UpgradeJob::lookForTheScreen()
{
    const std::shared_ptr<UsbContext> context = m_context;
    const PortPath port = m_request.target.port;
    // A screen restarted from running leaves the bus and comes back with
    // another address; until then the old one may still be listed.
    const int oldAddress = m_path == UpgradePath::TelvRunning ? m_oldAddress : 0;
    m_link.post<std::optional<ScreenInfo>>(
        [context, port, oldAddress]() -> std::optional<ScreenInfo> {
            const DeviceList devices(context->get());
            for (ScreenInfo found : findScreens(devices)) {
                if (found.port != port || !found.running() || found.address == oldAddress)
                    continue;
                probe(context, devices, found);
                return found;
            }
            return std::nullopt;
        },
        this, [this](std::optional<ScreenInfo> found) {
            if (found && found->identified()) {
                m_result.newVersion = found->firmwareVersion();
                finish(m_result);
                return;
            }
            if (found && found->access == Access::InUse) {
                if (!m_inUseClock.isValid())
                    m_inUseClock.start();
                if (m_inUseClock.hasExpired(kInUsePatienceMs)) {
                    m_result.outcome = UpgradeOutcome::Failed;
                    m_result.reason = QStringLiteral("the screen came back, but another program holds it");
                    finish(m_result);
                    return;
                }
            } else {
                m_inUseClock.invalidate();
            }
            if (m_restartClock.hasExpired(kBackWithinMs)) {
                m_result.outcome = UpgradeOutcome::Failed;
                m_result.reason = QStringLiteral("the screen did not come back within %1 s").arg(kBackWithinMs / 1000);
                finish(m_result);
                return;
            }
            QTimer::singleShot(kLookEveryMs, this, &UpgradeJob::lookForTheScreen);
        });
}

void UpgradeJob::finish(const UpgradeResult &result)
{
    // A copy: a receiver may start the next job, which resets m_result.
    const UpgradeResult last = result; // NOLINT(performance-unnecessary-copy-initialization)
    m_running = false;
    m_request = {};
    m_hold.reset();
    emit ended(last);
}

} // namespace session
