#include "upgraderun.h"

#include "firmwarechoice.h"
#include "platform.h"
#include "screen.h"
#include "upgrade.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>

#include <cerrno>
#include <optional>

#include <poll.h>
#include <unistd.h>

namespace tavrikctl {

using namespace screenlink;

struct UpgradeRun::Job {
    ScreenRecord screen;
    UpgradePath path;
    StepTracker steps;
    int row = 0;
    session::UpgradeWorker worker;
    QElapsedTimer clock;
    bool ended = false;
    bool ok = false;
    QString outcome;

    Job(ScreenRecord s, UpgradePath p) : screen(std::move(s)), path(p), steps(p) {}
};

namespace {

constexpr int kToolResetWaitMs = 1000;
constexpr int kAnswerSliceMs = 100;

UpgradePath pathFor(const QString &firmwarePath, DeviceKind kind)
{
    const bool telvImage = firmwarePath.contains(QLatin1String("TELV"));
    if (telvImage)
        return kind == DeviceKind::TelvBootLoader ? UpgradePath::TelvBootLoader : UpgradePath::TelvRunning;
    return kind == DeviceKind::K2tBootLoader ? UpgradePath::EepromBootLoader : UpgradePath::EepromRunning;
}

QString plan(UpgradePath path)
{
    switch (path) {
    case UpgradePath::TelvRunning:
        return QStringLiteral("read its screen block, erase and program its flash, read it back, restart it");
    case UpgradePath::TelvBootLoader:
        return QStringLiteral("fetch its screen block from the firmware server, write it with telvtool, restart it");
    case UpgradePath::EepromRunning:
        return QStringLiteral("stamp a new device ID, write its EEPROM, read it back (it runs the new firmware "
                              "once unplugged and plugged in again)");
    case UpgradePath::EepromBootLoader:
        return QStringLiteral("write its EEPROM with eeprom (it runs the new firmware once unplugged and plugged "
                              "in again)");
    }
    return {};
}

void err(const QString &text)
{
    std::fprintf(stderr, "tavrikctl: %s\n", qPrintable(text));
}

// The line typed at the prompt, trimmed and in lower case; none when a stop
// signal comes (or came) first, which is no "yes" either.
std::optional<QString> readAnswer(const std::atomic<int> &interrupts, int seen)
{
    QByteArray line;
    while (interrupts.load() == seen) {
        // Slices, so that a signal just before the wait is seen soon.
        pollfd in{STDIN_FILENO, POLLIN, 0};
        const int ready = ::poll(&in, 1, kAnswerSliceMs);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        char c = 0;
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || c == '\n')
            return QString::fromLocal8Bit(line).trimmed().toLower();
        line += c;
    }
    return interrupts.load() == seen ? std::optional<QString>(QString()) : std::nullopt;
}

} // namespace

UpgradeRun::UpgradeRun(const Command &command, std::vector<ScreenRecord> screens, std::shared_ptr<UsbContext> context,
                       const std::atomic<int> &interrupts)
    : m_command(command), m_screens(std::move(screens)), m_context(std::move(context)), m_interrupts(interrupts)
{
}

UpgradeRun::~UpgradeRun()
{
    // Workers are waited for, never cut off: a half-written screen does not start.
    for (auto &job : m_jobs)
        job->worker.waitEnded();
}

bool UpgradeRun::confirm()
{
    std::printf("Write %s to %d screen(s):\n", qPrintable(m_command.arguments[0]), int(m_jobs.size()));
    for (const auto &job : m_jobs)
        std::printf("  %s: %s\n", qPrintable(job->screen.label()), qPrintable(plan(job->path)));
    std::printf("An upgrade cut off midway leaves a screen that does not start. Continue? [y/N] ");
    std::fflush(stdout);
    const std::optional<QString> answer = readAnswer(m_interrupts, m_interruptsSeen);
    if (!answer) {
        std::printf("\n");
        return false;
    }
    return *answer == QLatin1String("y") || *answer == QLatin1String("yes");
}

int UpgradeRun::start()
{
    const QString path = m_command.arguments[0];
    const QString toolDir = QCoreApplication::applicationDirPath();
    const QString suffix = QString::fromStdString(platform::exeSuffix());

    // Every check before anything is written to any screen.
    bool fileRefused = false;
    bool cannot = false;
    QByteArray content;
    int bootLoaders[2] = {0, 0};
    for (const ScreenRecord &s : m_screens) {
        const session::FirmwareFile file =
            session::readFirmwareFile(path, session::firmwareFamily(s.kind, s.identification));
        if (!file.opened) {
            err(QStringLiteral("%1: Can not open file.").arg(path));
            return BadFirmware;
        }
        if (!file.ok()) {
            err(QStringLiteral("%1: %2").arg(s.label(), QString::fromLatin1(fwimage::verdictText(file.verdict).data())));
            fileRefused = true;
            continue;
        }
        content = file.content;
        if (s.running() && s.identification.isEmpty()) {
            err(QStringLiteral("%1: cannot be opened (no access to it)").arg(s.label()));
            cannot = true;
        }
        const QString tool = session::requiredTool(path, s.usbId);
        if (!tool.isEmpty() && !QFileInfo(toolDir + QLatin1Char('/') + tool + suffix).isExecutable()) {
            err(QStringLiteral("%1: the boot-loader tool %2 is missing; put the screen maker's %2 into %3")
                    .arg(s.label(), tool + suffix, toolDir));
            cannot = true;
        }
        if (s.kind == DeviceKind::TelvBootLoader)
            ++bootLoaders[0];
        if (s.kind == DeviceKind::K2tBootLoader)
            ++bootLoaders[1];
    }
    if (fileRefused)
        return BadFirmware;
    // The boot-loader tools write "the" screen in their boot loader: with two
    // of a kind there is no telling which one gets which image.
    for (int n : bootLoaders) {
        if (n > 1) {
            err(QStringLiteral("%1 screens wait in the same kind of boot loader, and its tool cannot tell them "
                               "apart: upgrade them one at a time, each alone on the bus")
                    .arg(n));
            cannot = true;
        }
    }
    if (cannot)
        return SomeFailed;

    for (const ScreenRecord &s : m_screens)
        m_jobs.push_back(std::make_unique<Job>(s, pathFor(path, s.kind)));
    if (m_command.dryRun) {
        for (const auto &job : m_jobs)
            std::printf("%s: the file passes its checks; would %s\n", qPrintable(job->screen.label()),
                        qPrintable(plan(job->path)));
        return Done;
    }
    if (!m_command.yes && !confirm()) {
        std::printf("Nothing was written.\n");
        return Interrupted;
    }

    m_board = std::make_unique<ProgressBoard>(stdout, isatty(STDOUT_FILENO) != 0);
    for (auto &job : m_jobs) {
        Job &j = *job;
        j.row = m_board->add(j.screen.label());
        session::UpgradeRequest request;
        request.firmwarePath = path;
        request.firmware = content;
        request.screenId = j.screen.usbId;
        request.toolDir = toolDir;
        request.exeSuffix = suffix;
        if (j.screen.running()) {
            request.screen = openScreen(m_context, j.screen);
            if (!request.screen) {
                j.ended = true;
                j.outcome = QStringLiteral("cannot be opened");
                m_board->update(j.row, QStringLiteral("failed"), 0);
                continue;
            }
        }
        connect(&j.worker, &session::UpgradeWorker::progress, this, [this, &j](int v) { onProgress(j, v); });
        connect(&j.worker, &session::UpgradeWorker::upgradeFinished, this,
                [this, &j](const session::UpgradeResult &r) { onFinished(j, r); });
        // No box to wait for here: the reason shows in the summary.
        connect(&j.worker, &session::UpgradeWorker::serverUnreachable, &j.worker,
                &session::UpgradeWorker::serverFailureTold, Qt::DirectConnection);
        j.clock.start();
        ++m_running;
        j.worker.begin(std::move(request));
    }
    auto *poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, &UpgradeRun::pollInterrupts);
    poll->start(100);
    if (m_running == 0)
        QTimer::singleShot(0, this, [this] { onFinished(*m_jobs.front(), {}); });
    return -1;
}

void UpgradeRun::onProgress(Job &job, int value)
{
    job.steps.feed(value);
    m_board->update(job.row, job.steps.step(), job.steps.percent());
}

void UpgradeRun::onFinished(Job &job, const session::UpgradeResult &result)
{
    if (!job.ended) {
        job.worker.waitEnded();
        job.ended = true;
        job.ok = result.ok;
        job.outcome = result.ok ? QStringLiteral("done") : result.reason;
        if (result.ok && (job.path == UpgradePath::TelvRunning || job.path == UpgradePath::TelvBootLoader)) {
            job.steps.restarting();
            m_board->update(job.row, job.steps.step(), job.steps.percent());
            if (job.path == UpgradePath::TelvBootLoader) {
                QProcess tool;
                session::inOwnProcessGroup(tool);
                tool.start(QCoreApplication::applicationDirPath() + QStringLiteral("/telvtool")
                               + QString::fromStdString(platform::exeSuffix()),
                           {QStringLiteral("reset")});
                tool.waitForFinished(kToolResetWaitMs);
            } else if (const std::shared_ptr<Screen> screen = openScreen(m_context, job.screen)) {
                screen->requestReboot();
            }
        } else if (result.ok) {
            job.outcome = QStringLiteral("done; unplug it and plug it in again to run the new firmware");
        }
        job.steps.finish(result.ok);
        m_board->update(job.row, job.steps.step(), job.steps.percent());
        --m_running;
    }
    if (m_running > 0)
        return;
    // The summary: which screens are done, which failed and why.
    int failed = 0;
    int stopped = 0;
    for (const auto &j : m_jobs) {
        if (!j->ok && j->outcome == QLatin1String("stopped before anything was written"))
            ++stopped;
        else if (!j->ok)
            ++failed;
        std::FILE *out = j->ok ? stdout : stderr;
        std::fprintf(out, "%s: %s%s\n", qPrintable(j->screen.label()), j->ok ? "" : "FAILED: ", qPrintable(j->outcome));
    }
    std::fflush(stdout);
    emit finished(failed > 0 ? SomeFailed : stopped > 0 ? Interrupted : Done);
}

int UpgradeRun::remainingSeconds() const
{
    qint64 longest = 0;
    for (const auto &j : m_jobs) {
        if (j->ended || !j->worker.writing())
            continue;
        const int p = std::max(1, j->steps.percent());
        longest = std::max(longest, j->clock.elapsed() * (100 - p) / p);
    }
    return int((longest + 999) / 1000);
}

void UpgradeRun::pollInterrupts()
{
    const int seen = m_interrupts.load();
    if (seen == m_interruptsSeen)
        return;
    m_interruptsSeen = seen;
    int writing = 0;
    for (auto &j : m_jobs) {
        if (j->ended)
            continue;
        if (j->worker.writing())
            ++writing;
        else
            j->worker.requestStop();
    }
    if (!m_stopped) {
        m_stopped = true;
        m_board->note(QStringLiteral("Stopping: screens not yet written stop now; %1 being written finish safely "
                                     "first (about %2 s more).")
                          .arg(writing)
                          .arg(remainingSeconds()));
        return;
    }
    m_board->note(QStringLiteral("Not stopping the %1 screen(s) being written: a flash or EEPROM cut off in the "
                                 "middle of its write leaves a screen that does not start until it is written "
                                 "again from its boot loader. About %2 s more.")
                      .arg(writing)
                      .arg(remainingSeconds()));
}

} // namespace tavrikctl
