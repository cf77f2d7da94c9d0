#include "upgraderun.h"

#include "console.h"
#include "fleet.h"
#include "firmwarechoice.h"
#include "platform.h"
#include "upgradejob.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>

#include <algorithm>
#include <optional>

namespace tavrikctl {

using namespace session;

struct UpgradeRun::Job {
    ScreenInfo screen;
    QString file;
    UpgradeCheck check;
    bool refused = false; // before anything was started
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

QString plan(UpgradePath path, bool newId)
{
    switch (path) {
    case UpgradePath::TelvRunning:
        return QStringLiteral("read its screen block, erase and program its flash, read it back, restart it");
    case UpgradePath::TelvBootLoader:
        return QStringLiteral("fetch its screen block from the firmware server, write it with telvtool, restart it");
    case UpgradePath::EepromRunning:
        return QStringLiteral("%1, write its EEPROM, read it back (it runs the new firmware once unplugged and "
                              "plugged in again)")
            .arg(newId ? QStringLiteral("stamp a new device ID")
                       : QStringLiteral("keep its device ID (stamp one where it has none)"));
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

bool inBootLoader(UpgradePath path)
{
    return path == UpgradePath::TelvBootLoader || path == UpgradePath::EepromBootLoader;
}

const QJsonValue kNull(QJsonValue::Null);

QJsonValue textOrNull(const QString &text)
{
    return text.isEmpty() ? kNull : QJsonValue(text);
}

QString outcomeWord(UpgradeOutcome outcome)
{
    switch (outcome) {
    case UpgradeOutcome::Done: return QStringLiteral("changed");
    case UpgradeOutcome::Unchanged: return QStringLiteral("unchanged");
    case UpgradeOutcome::WouldWrite: return QStringLiteral("would-write");
    case UpgradeOutcome::Incomplete: return QStringLiteral("incomplete");
    case UpgradeOutcome::Stopped: return QStringLiteral("stopped");
    case UpgradeOutcome::Refused: return QStringLiteral("refused");
    case UpgradeOutcome::Failed:
    case UpgradeOutcome::ServerUnreachable: break;
    }
    return QStringLiteral("failed");
}

QString orUnknown(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("unknown") : terminalText(text);
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

void UpgradeRun::refuse(Job &job, const QString &why)
{
    job.refused = true;
    job.ended = true;
    job.result.outcome = UpgradeOutcome::Refused;
    job.result.reason = why;
    err(QStringLiteral("%1: %2").arg(name(job), why));
}

int UpgradeRun::check()
{
    const QString programDir = QCoreApplication::applicationDirPath();
    const QStringList folders = firmwareFolders(programDir, m_command.firmwareDir);
    // All that is attached, not only what was chosen: a boot loader's tool
    // takes whichever screen waits in it.
    const UpgradeCheckOptions options{programDir, QString::fromStdString(platform::exeSuffix()), m_command.anyModel,
                                      m_attached, folders};
    const QString given = m_command.arguments.value(0);
    // Every check before anything is written to any screen.
    int code = -1;
    for (const ScreenInfo &s : m_screens) {
        m_jobs.push_back(std::make_unique<Job>());
        Job &job = *m_jobs.back();
        job.screen = s;
        job.file = given;
        const QString own = s.geometry.modelFirmwareName;
        if (given.isEmpty() && s.identified() && offersModelFirmware(own)) {
            job.file = findFirmware(folders, own);
            if (job.file.isEmpty()) {
                refuse(job, missingFirmwareText(folders, own));
                code = std::max(code, int(BadFirmware));
                continue;
            }
        } else if (given.isEmpty()) {
            refuse(job, s.running() && s.access != Access::InUse
                            ? QStringLiteral("its model has no firmware file of its own: name the firmware file")
                            : QStringLiteral("the firmware file cannot be told for a screen that %1: name it")
                                  .arg(s.access == Access::InUse ? QStringLiteral("is in use")
                                                                 : QStringLiteral("waits in its boot loader")));
            code = std::max(code, int(Usage));
            continue;
        }
        job.check = checkUpgrade(s, job.file, options);
        if (!job.check.ok()) {
            const bool fileAtFault = job.check.problem == UpgradeCheck::Problem::File
                                     || job.check.problem == UpgradeCheck::Problem::OtherModel;
            // Gone or unreadable since it was named: which file, then.
            const bool unopened = job.check.problem == UpgradeCheck::Problem::File && !job.check.file.opened;
            const QFileInfo file(job.file);
            refuse(job, unopened ? missingFirmwareText({file.path()}, file.fileName())
                        : job.check.problem == UpgradeCheck::Problem::OtherModel
                            ? job.check.refusal + QStringLiteral(" (--any-model writes it all the same)")
                            : job.check.refusal);
            code = std::max(code, int(fileAtFault ? BadFirmware : SomeFailed));
        }
    }
    if (code >= 0) {
        for (auto &job : m_jobs) {
            if (!job->refused) {
                job->ended = true;
                job->result.outcome = UpgradeOutcome::Refused;
                job->result.reason = QStringLiteral("not started: another selected screen was refused, and nothing is "
                                                    "written until every one passes its checks");
            }
        }
    }
    return code;
}

bool UpgradeRun::confirm()
{
    std::printf("Write to %d screen(s):\n", int(m_jobs.size()));
    for (const auto &job : m_jobs)
        std::printf("  %s: %s: %s\n", qPrintable(name(*job)), qPrintable(job->file),
                    qPrintable(plan(job->check.path, m_command.newId)));
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
    if (const int early = check(); early >= 0) {
        // A usage error leaves standard output empty, whatever the command.
        if (m_command.json && early != Usage)
            printJson(early);
        return early;
    }
    if (!m_command.dryRun && !m_command.yes && !confirm()) {
        std::printf("Nothing was written.\n");
        return Interrupted;
    }

    // Standard output is the JSON's alone.
    m_board = m_command.json ? std::make_unique<ProgressBoard>(stderr, false, m_command.quiet)
                             : std::make_unique<ProgressBoard>(stdout, platform::outputIsTerminal(), m_command.quiet);
    for (auto &job : m_jobs) {
        // A boot loader answers no read: what it holds cannot be compared,
        // and its tool is not started for nothing.
        if (m_command.dryRun && inBootLoader(job->check.path)) {
            job->ended = true;
            job->result.outcome = UpgradeOutcome::WouldWrite;
            job->result.reason = QStringLiteral("it waits in its boot loader, where what it holds cannot be read");
            continue;
        }
        begin(*job);
    }
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
    request.reinstall = m_command.reinstall;
    request.newId = m_command.newId;
    request.dryRun = m_command.dryRun;
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
    const bool fine = result.done() || result.outcome == UpgradeOutcome::WouldWrite;
    if (fine)
        j.percent = 100;
    m_board->update(j.row, fine ? QStringLiteral("done") : QStringLiteral("failed"), j.percent);
    if (--m_running == 0)
        summarise();
}

QString UpgradeRun::resultLine(const Job &j) const
{
    const UpgradeResult &r = j.result;
    const QString file = QFileInfo(j.file).fileName();
    // A new ID belongs to its screen's line, where a script finds both.
    const QString newId = r.newDeviceId.isEmpty()
                              ? QString()
                              : QStringLiteral("; its new device ID is %1").arg(terminalText(r.newDeviceId));
    switch (r.outcome) {
    case UpgradeOutcome::Done:
        if (r.replug)
            return QStringLiteral("done: %1 written%2; unplug it and plug it in again to run the new firmware")
                .arg(file, newId);
        return QStringLiteral("done: %1 written%2; it restarted and runs firmware %3 (before: %4)")
            .arg(file, newId, orUnknown(r.newVersion), orUnknown(r.oldVersion));
    case UpgradeOutcome::Unchanged:
        return QStringLiteral("unchanged: it has %1 already (firmware %2); nothing %3 written")
            .arg(m_command.dryRun ? j.file : file, orUnknown(r.oldVersion),
                 m_command.dryRun ? QStringLiteral("would be") : QStringLiteral("was"));
    case UpgradeOutcome::WouldWrite:
        return QStringLiteral("would be written: %1 passes its checks; would %2%3")
            .arg(j.file, plan(j.check.path, m_command.newId),
                 inBootLoader(j.check.path) ? QStringLiteral(" (%1)").arg(r.reason) : QString());
    case UpgradeOutcome::Stopped:
        return QStringLiteral("FAILED: stopped before anything was written");
    case UpgradeOutcome::Incomplete:
        return QStringLiteral("INCOMPLETE: %1. %2").arg(r.reason, incompleteAdvice());
    case UpgradeOutcome::Refused:
    case UpgradeOutcome::Failed:
    case UpgradeOutcome::ServerUnreachable:
        break;
    }
    return r.written ? QStringLiteral("FAILED: %1 was written, but %2%3").arg(file, r.reason, newId)
                     : QStringLiteral("FAILED: %1").arg(r.reason);
}

QJsonObject UpgradeRun::jobJson(const Job &j) const
{
    const UpgradeResult &r = j.result;
    const ScreenInfo &s = j.screen;
    const QJsonValue idBefore = textOrNull(s.deviceId);
    const QJsonValue firmwareBefore =
        !r.oldVersion.isEmpty() ? QJsonValue(r.oldVersion) : s.identified() ? textOrNull(s.firmwareVersion()) : kNull;
    const QJsonValue firmwareAfter = !r.newVersion.isEmpty()                  ? QJsonValue(r.newVersion)
                                     : r.outcome == UpgradeOutcome::Unchanged ? firmwareBefore
                                                                              : kNull;
    return {{QStringLiteral("port"), s.portText(m_attached)},
            {QStringLiteral("device_id_before"), idBefore},
            {QStringLiteral("device_id_after"), r.newDeviceId.isEmpty() ? idBefore : QJsonValue(r.newDeviceId)},
            {QStringLiteral("model"), s.identified() ? QJsonValue(s.modelName()) : kNull},
            {QStringLiteral("file"), textOrNull(j.file)},
            {QStringLiteral("outcome"), outcomeWord(r.outcome)},
            {QStringLiteral("reason"), textOrNull(r.reason)},
            {QStringLiteral("firmware_before"), firmwareBefore},
            {QStringLiteral("firmware_after"), firmwareAfter},
            {QStringLiteral("block_source"), textOrNull(blockSourceWord(r.blockSource))},
            {QStringLiteral("replug"), r.replug}};
}

void UpgradeRun::printJson(int exitCode) const
{
    QJsonArray rows;
    for (const auto &j : m_jobs)
        rows.append(jobJson(*j));
    const QJsonObject top{{QStringLiteral("screens"), rows},
                          {QStringLiteral("exit_code"), exitCode},
                          {QStringLiteral("dry_run"), m_command.dryRun}};
    std::fputs(QJsonDocument(top).toJson(QJsonDocument::Indented).constData(), stdout);
    std::fflush(stdout);
}

void UpgradeRun::summarise()
{
    // Which file went to which screen, and what each runs now.
    int failed = 0;
    int stopped = 0;
    int incomplete = 0;
    for (const auto &j : m_jobs) {
        const UpgradeResult &r = j->result;
        switch (r.outcome) {
        case UpgradeOutcome::Done:
        case UpgradeOutcome::Unchanged:
        case UpgradeOutcome::WouldWrite:
            break;
        case UpgradeOutcome::Stopped:
            ++stopped;
            break;
        case UpgradeOutcome::Incomplete:
            ++incomplete;
            break;
        case UpgradeOutcome::Failed:
        case UpgradeOutcome::Refused:
        case UpgradeOutcome::ServerUnreachable:
            ++failed;
            break;
        }
        const bool fine = r.done() || r.outcome == UpgradeOutcome::WouldWrite;
        if (!fine)
            std::fprintf(stderr, "%s: %s\n", qPrintable(name(*j)), qPrintable(resultLine(*j)));
        else if (!m_command.json && !m_command.quiet)
            std::fprintf(stdout, "%s: %s\n", qPrintable(name(*j)), qPrintable(resultLine(*j)));
    }
    std::fflush(stdout);
    const int code = incomplete > 0 ? Incomplete : failed > 0 ? SomeFailed : stopped > 0 ? Interrupted : Done;
    if (m_command.json)
        printJson(code);
    emit finished(code);
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
