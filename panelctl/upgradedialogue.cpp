#include "upgradedialogue.h"

#include "dialogs.h"
#include "firmwarechoice.h"
#include "screensession.h"
#include "upgrade.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QProgressBar>

using namespace session;

namespace {

// The window's texts keep the window's translation context.
QString trMain(const char *text)
{
    return QCoreApplication::translate("MainWindow", text);
}

// Where the screen block came from, when it was not the screen's own.
QString blockNote(BlockSource source)
{
    if (source == BlockSource::Saved)
        return QStringLiteral("\n\n") + trMain("Its screen block could not be read from it; the copy kept before "
                                                 "an earlier upgrade was written back.");
    if (source == BlockSource::Server)
        return QStringLiteral("\n\n") + trMain("Its screen block came from the firmware server.");
    return {};
}

} // namespace

UpgradeDialogue::UpgradeDialogue(QWidget *window, ScreenSession &session, QProgressBar *bar)
    : QObject(window), m_window(window), m_session(session), m_bar(bar)
{
    connect(&m_session, &ScreenSession::upgradeProgress, this, &UpgradeDialogue::showProgress);
    connect(&m_session, &ScreenSession::upgradeEnded, this, &UpgradeDialogue::showEnd);
}

void UpgradeDialogue::setProgramDir(const QString &dir, const QString &exeSuffix)
{
    m_programDir = dir;
    m_exeSuffix = exeSuffix;
}

QString UpgradeDialogue::chooseFile()
{
    const QString modelFile = m_session.opened().geometry.modelFirmwareName;
    const QStringList folders = firmwareFolders(m_programDir);
    const QString found = findFirmware(folders, modelFile);
    const QString defaultPath = found.isEmpty() ? defaultFirmwarePath(m_programDir, modelFile) : found;
    // Only the boot-loader tools trip over spaces, and they get the image
    // from the hand-over folder, not from where the user keeps it.
    const bool byTool = !m_session.opened().running();
    if (byTool && handOverFolder(m_programDir).contains(QLatin1Char(' ')))
        dialogs::warning(nullptr, trMain("Warning"),
                         trMain("Please move panelctl to a path that does not contain any spaces ")
                             + trMain("or special characters, or the upgrade might fail."),
                         QMessageBox::Ok);
    if (offersModelFirmware(modelFile)) {
        const auto answer = dialogs::information(
            nullptr, trMain("NOTIFY"),
            trMain("We will upgrade your device, firmware ") + defaultPath + trMain(".\r\nContinue upgrade click on 'Yes';\r\n")
                + trMain("Manually choose firmware, click on 'No'."),
            QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        if (answer == QMessageBox::Yes && found.isEmpty()) {
            dialogs::warning(m_window, trMain("Error"), missingFirmwareText(folders, modelFile));
            return {};
        }
        if (answer == QMessageBox::Yes)
            return defaultPath;
        if (answer != QMessageBox::No)
            return {};
    }
    QString risk;
    for (const QString &line : riskTextLines())
        risk += trMain(line.toUtf8().constData());
    dialogs::warning(nullptr, trMain("IMPORTANT"), risk, QMessageBox::Ok);
    const QString chosen =
        dialogs::getOpenFileName(nullptr, trMain("Select the firmware file"), QString(), trMain("Firmware (*.bin)"));
    if (chosen.isEmpty())
        return {};
    if (dialogs::information(m_window, trMain("Notify"), trMain("Upgrade firmware: ") + chosen,
                             QMessageBox::Yes | QMessageBox::Cancel)
        != QMessageBox::Yes)
        return {};
    return chosen;
}

void UpgradeDialogue::start()
{
    // The path is never changed under a running upgrade.
    if (m_session.upgradeRunning()) {
        dialogs::warning(m_window, trMain("Error"), trMain("A firmware upgrade is running."));
        return;
    }
    if (!m_session.hasScreen()) {
        dialogs::warning(m_window, trMain("Error"), trMain("No screen find."));
        return;
    }
    // What the file is checked for; the boxes may stay up for a while, and
    // another screen may be plugged in meanwhile.
    const ScreenInfo chosen = m_session.opened();
    const std::vector<ScreenInfo> &attached = m_session.list().screens();
    // Said before any question: no file makes it possible.
    if (const QString rivals = bootLoaderRivals(chosen, attached); !rivals.isEmpty()) {
        dialogs::warning(m_window, trMain("Error"), trMain("The upgrade was not started: %1.").arg(rivals));
        return;
    }
    const QString path = chooseFile();
    if (path.isEmpty())
        return;

    UpgradeCheckOptions options{m_programDir, m_exeSuffix, false, m_session.list().screens(),
                                firmwareFolders(m_programDir)};
    UpgradeCheck check = checkUpgrade(chosen, path, options);
    if (check.problem == UpgradeCheck::Problem::OtherModel) {
        // Another model's file is written only when asked for twice, with
        // both models named.
        const auto answer = dialogs::warning(
            m_window, trMain("Warning"),
            trMain("This firmware is for another model: %1.\r\nWriting another model's firmware can leave the screen "
                   "without a picture. Write it all the same?")
                .arg(check.refusal),
            QMessageBox::Yes | QMessageBox::Cancel, QMessageBox::Cancel);
        if (answer != QMessageBox::Yes)
            return;
        options.anyModel = true;
        check = checkUpgrade(chosen, path, options);
    }
    if (!check.ok()) {
        dialogs::warning(m_window, trMain("Error"), trMain(check.refusal.toUtf8().constData()));
        return;
    }
    UpgradeRequest request;
    request.firmwarePath = path;
    request.firmware = check.file.content;
    request.target = chosen;
    request.toolDir = m_programDir;
    request.exeSuffix = m_exeSuffix;
    for (const ScreenInfo &s : m_session.list().screens())
        if (!s.deviceId.isEmpty())
            request.knownIds << s.deviceId;
    const QString refused = m_session.startUpgrade(std::move(request));
    if (!refused.isEmpty()) {
        dialogs::warning(m_window, trMain("Error"),
                         trMain("The upgrade was not started: %1.").arg(refused));
        return;
    }
    m_path = check.path;
    m_saidSlow = false;
    m_bar->setValue(0);
    m_bar->show();
}

void UpgradeDialogue::showProgress(const UpgradeProgress &progress)
{
    if (progress.slow && !m_saidSlow) {
        m_saidSlow = true;
        emit notice(trMain(stillWritingText().toUtf8().constData()));
    }
    const int value = dialogValue(m_path, progress);
    if (value >= 0)
        m_bar->setValue(value);
}

void UpgradeDialogue::showEnd(const UpgradeResult &result)
{
    m_bar->hide();
    switch (result.outcome) {
    case UpgradeOutcome::Done:
        if (result.replug) {
            dialogs::information(m_window, trMain("Notify"), trMain("Upgrade done, please unplug to reboot the screen."));
        } else {
            const QString before = result.oldVersion.isEmpty() ? trMain("unknown") : result.oldVersion;
            dialogs::information(m_window, trMain("Notify"),
                                 trMain("Upgrade done, the screen restarted with firmware %1 (before: %2).")
                                         .arg(result.newVersion.isEmpty() ? trMain("unknown") : result.newVersion,
                                              before)
                                     + blockNote(result.blockSource));
        }
        break;
    case UpgradeOutcome::Unchanged:
        dialogs::information(m_window, trMain("Notify"),
                             trMain("The screen already has this firmware (%1): nothing was written.")
                                 .arg(result.oldVersion.isEmpty() ? trMain("unknown") : result.oldVersion));
        break;
    case UpgradeOutcome::WouldWrite:
        break;
    case UpgradeOutcome::ServerUnreachable:
        dialogs::critical(nullptr, QStringLiteral("Error"),
                          QStringLiteral("Can not get data from server.") + QStringLiteral("\n\n") + result.reason + QLatin1Char('.'));
        dialogs::information(m_window, trMain("Notify"), trMain("Upgrade firmware failed."));
        break;
    case UpgradeOutcome::Refused:
        dialogs::warning(m_window, trMain("Error"), trMain("The upgrade was not started: %1.").arg(result.reason));
        break;
    case UpgradeOutcome::Incomplete:
        qDebug().noquote() << "Upgrade left the firmware incomplete:" << result.reason;
        dialogs::critical(m_window, trMain("Notify"),
                          trMain("The firmware upgrade did not finish: %1.").arg(result.reason) + QStringLiteral("\n\n")
                              + trMain(incompleteAdvice().toUtf8().constData()));
        break;
    case UpgradeOutcome::Failed:
    case UpgradeOutcome::Stopped:
        qDebug().noquote() << "Upgrade failed:" << result.reason;
        if (result.written)
            dialogs::information(m_window, trMain("Notify"),
                                 trMain("The firmware was written, but %1.").arg(result.reason));
        else
            dialogs::information(m_window, trMain("Notify"), trMain("Upgrade firmware failed."));
        break;
    }
    emit finished();
}
