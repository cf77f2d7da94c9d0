#include "upgraderun.h"

#include "console.h"
#include "fleet.h"
#include "firmwarechoice.h"
#include "platform.h"
#include "upgradejob.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <optional>

namespace tavrikctl {

using namespace session;

struct UpgradeRun::Job {
    ScreenInfo screen;
    QString file;
    UpgradeCheck check;
    int row = 0;
    std::unique_ptr<UpgradeJob> job;
    QElapsedTimer clock;
    int percent = 0;
    bool ended = false;
    bool saidSlow = false;
    UpgradeResult result;
};

namespace {

constexpr int kAnswerSliceMs = 100;

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
    const std::optional<std::string> line =
        platform::readInputLine([&interrupts, seen] { return interrupts.load() != seen; }, kAnswerSliceMs);
    if (!line)
        return std::nullopt;
    return QString::fromLocal8Bit(line->data(), qsizetype(line->size())).trimmed().toLower();
}

} // namespace

UpgradeRun::UpgradeRun(const Command &command, std::vector<ScreenInfo> screens, std::vector<ScreenInfo> attached,
                       const ScreenBus &bus, const std::atomic<int> &interrupts)
    : m_command(command), m_screens(std::move(screens)), m_attached(std::move(attached)), m_bus(bus),
      m_interrupts(interrupts)
{
}

// Jobs are waited for, never cut off: a half-written screen does not start.
UpgradeRun::~UpgradeRun() = default;

QString UpgradeRun::name(const Job &job) const
{
    return label(job.screen, m_attached);
}

int UpgradeRun::check()
{
    const QString programDir = QCoreApplication::applicationDirPath();
    // All that is attached, not only what was chosen: a boot loader's tool
    // takes whichever screen waits in it.
    const UpgradeCheckOptions options{programDir, QString::fromStdString(platform::exeSuffix()), m_command.anyModel,
                                      m_attached, firmwareFolders(programDir)};
    const QString given = m_command.arguments.value(0);
    // Every check before anything is written to any screen.
    int code = -1;
    for (const ScreenInfo &s : m_screens) {
        auto job = std::make_unique<Job>();
        job->screen = s;
        job->file = given.isEmpty() ? modelFirmwarePath(programDir, s) : given;
        if (job->file.isEmpty()) {
            err(QStringLiteral("%1: %2").arg(
                label(s, m_attached),
                s.running() && s.access != Access::InUse
                    ? QStringLiteral("its model has no firmware file of its own: name the firmware file")
                    : QStringLiteral("the firmware file cannot be told for a screen that %1: name it")
                          .arg(s.access == Access::InUse ? QStringLiteral("is in use")
                                                         : QStringLiteral("waits in its boot loader"))));
            code = std::max(code, int(Usage));
            continue;
        }
        job->check = checkUpgrade(s, job->file, options);
        if (!job->check.ok()) {
            err(QStringLiteral("%1: %2%3")
                    .arg(label(s, m_attached), job->check.refusal,
                         job->check.problem == UpgradeCheck::Problem::OtherModel
                             ? QStringLiteral(" (--any-model writes it all the same)")
                             : QString()));
            const bool fileAtFault = job->check.problem == UpgradeCheck::Problem::File
                                     || job->check.problem == UpgradeCheck::Problem::OtherModel;
            code = std::max(code, int(fileAtFault ? BadFirmware : SomeFailed));
            continue;
        }
        m_jobs.push_back(std::move(job));
    }
    return code;
}

bool UpgradeRun::confirm()
{
    std::printf("Write to %d screen(s):\n", int(m_jobs.size()));
    for (const auto &job : m_jobs)
        std::printf("  %s: %s: %s\n", qPrintable(name(*job)), qPrintable(job->file), qPrintable(plan(job->check.path)));
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
    if (const int early = check(); early >= 0)
        return early;
    if (m_command.dryRun) {
        for (const auto &job : m_jobs)
            std::printf("%s: %s passes its checks; would %s\n", qPrintable(name(*job)), qPrintable(job->file),
                        qPrintable(plan(job->check.path)));
        return Done;
    }
    if (!m_command.yes && !confirm()) {
        std::printf("Nothing was written.\n");
        return Interrupted;
    }

    m_board = std::make_unique<ProgressBoard>(stdout, platform::outputIsTerminal());
    for (auto &job : m_jobs)
        begin(*job);
    auto *poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, &UpgradeRun::pollInterrupts);
    // A console closed while a screen is being written waits for the write as long as Windows lets it.
    connect(poll, &QTimer::timeout, this, [this] {
        platform::setWriting(std::any_of(m_jobs.begin(), m_jobs.end(), [](const auto &j) {
            return !j->ended && j->job && j->job->writing();
        }));
    });
    poll->start(100);
    if (m_running == 0)
        QTimer::singleShot(0, this, &UpgradeRun::summarise);
    return -1;
}

void UpgradeRun::begin(Job &j)
{
    j.row = m_board->add(name(j));
    // The screen must still be the one chosen, now that the prompt is
    // answered: the same plug-in, the same device ID, free for us.
    QString why;
    const std::shared_ptr<OpenScreen> open = m_bus.open(j.screen, &why);
    if (!open) {
        j.ended = true;
        j.result.reason = why;
        m_board->update(j.row, QStringLiteral("failed"), 0);
        return;
    }
    UpgradeRequest request;
    request.firmwarePath = j.file;
    request.firmware = j.check.file.content;
    request.screen = open->link();
    request.target = open->info();
    request.toolDir = QCoreApplication::applicationDirPath();
    request.exeSuffix = QString::fromStdString(platform::exeSuffix());
    for (const ScreenInfo &s : m_attached)
        if (!s.deviceId.isEmpty())
            request.knownIds << s.deviceId;
    j.job = std::make_unique<UpgradeJob>(m_bus.context());
    const UpgradePath path = j.check.path;
    connect(j.job.get(), &UpgradeJob::progress, this, [this, &j, path](const UpgradeProgress &p) {
        if (p.slow && !j.saidSlow) {
            j.saidSlow = true;
            m_board->note(QStringLiteral("%1: %2").arg(name(j), stillWritingText()));
        }
        j.percent = std::max(j.percent, overallPercent(path, p));
        m_board->update(j.row, stepWord(p.step), j.percent);
    });
    connect(j.job.get(), &UpgradeJob::ended, this, [this, &j](const UpgradeResult &r) { onEnded(j, r); });
    j.clock.start();
    ++m_running;
    j.job->begin(std::move(request));
}

void UpgradeRun::onEnded(Job &j, const UpgradeResult &result)
{
    if (j.ended)
        return;
    j.ended = true;
    j.result = result;
    if (result.done())
        j.percent = 100;
    m_board->update(j.row, result.done() ? QStringLiteral("done") : QStringLiteral("failed"), j.percent);
    if (--m_running == 0)
        summarise();
}

void UpgradeRun::summarise()
{
    // Which file went to which screen, and what each runs now.
    int failed = 0;
    int stopped = 0;
    int incomplete = 0;
    for (const auto &j : m_jobs) {
        const UpgradeResult &r = j->result;
        const QString file = QFileInfo(j->file).fileName();
        QString line;
        switch (r.outcome) {
        case UpgradeOutcome::Done:
            if (r.replug)
                line = QStringLiteral("done: %1 written; unplug it and plug it in again to run the new firmware")
                           .arg(file);
            else
                line = QStringLiteral("done: %1 written; it restarted and runs firmware %2 (before: %3)")
                           .arg(file, r.newVersion.isEmpty() ? QStringLiteral("unknown") : terminalText(r.newVersion),
                                r.oldVersion.isEmpty() ? QStringLiteral("unknown") : terminalText(r.oldVersion));
            break;
        case UpgradeOutcome::Unchanged:
            line = QStringLiteral("unchanged: it has %1 already (firmware %2); nothing was written")
                       .arg(file, r.oldVersion.isEmpty() ? QStringLiteral("unknown") : terminalText(r.oldVersion));
            break;
        case UpgradeOutcome::WouldWrite:
            line = QStringLiteral("would be written with %1").arg(file);
            break;
        case UpgradeOutcome::Stopped:
            ++stopped;
            line = QStringLiteral("FAILED: stopped before anything was written");
            break;
        case UpgradeOutcome::Incomplete:
            ++incomplete;
            line = QStringLiteral("INCOMPLETE: %1. %2").arg(r.reason, incompleteAdvice());
            break;
        case UpgradeOutcome::Failed:
        case UpgradeOutcome::Refused:
        case UpgradeOutcome::ServerUnreachable:
            ++failed;
            line = r.written ? QStringLiteral("FAILED: %1 was written, but %2").arg(file, r.reason)
                             : QStringLiteral("FAILED: %1").arg(r.reason);
            break;
        }
        std::FILE *out = r.done() ? stdout : stderr;
        std::fprintf(out, "%s: %s\n", qPrintable(name(*j)), qPrintable(line));
    }
    std::fflush(stdout);
    emit finished(incomplete > 0 ? Incomplete : failed > 0 ? SomeFailed : stopped > 0 ? Interrupted : Done);
}

int UpgradeRun::remainingSeconds() const
{
    qint64 longest = 0;
    for (const auto &j : m_jobs) {
        if (j->ended || !j->job || !j->job->writing())
            continue;
        const int p = std::max(1, j->percent);
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
        if (j->ended || !j->job)
            continue;
        // One step: a job never slips into its write between a look and
        // the stop.
        if (!j->job->requestStop())
            ++writing;
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
