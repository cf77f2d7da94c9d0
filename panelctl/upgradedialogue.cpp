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

} // namespace

UpgradeDialogue::UpgradeDialogue(QWidget *window, ScreenSession &session, QProgressBar *bar)
    : QObject(window), m_window(window), m_session(session), m_bar(bar)
{
    UpgradeWorker &worker = m_session.upgrade();
    connect(&worker, &UpgradeWorker::serverUnreachable, this, &UpgradeDialogue::tellServerFailure);
    connect(&worker, &UpgradeWorker::upgradeFinished, this, [](const UpgradeResult &result) {
        if (!result.ok)
            qDebug().noquote() << "Upgrade failed:" << result.reason;
    });
}

void UpgradeDialogue::setProgramDir(const QString &dir, const QString &exeSuffix)
{
    m_programDir = dir;
    m_exeSuffix = exeSuffix;
}

QString UpgradeDialogue::chooseFile()
{
    const QString modelFile = m_session.geometry().modelFirmwareName;
    const QString defaultPath = defaultFirmwarePath(m_programDir, modelFile);
    if (defaultPath.contains(QLatin1Char(' ')))
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
    const QString path = chooseFile();
    if (path.isEmpty())
        return;

    const OpenedScreen &opened = m_session.opened();
    const FirmwareFile file = readFirmwareFile(path, firmwareFamily(opened.kind, opened.identification));
    if (!file.opened) {
        dialogs::warning(m_window, trMain("Error"), trMain(fwimage::CannotOpenText.data()));
        return;
    }
    if (!file.ok()) {
        dialogs::warning(m_window, trMain("Error"), trMain(fwimage::verdictText(file.verdict).data()));
        return;
    }
    const QString tool = requiredTool(path, m_session.rememberedId());
    if (!tool.isEmpty() && !QFileInfo(m_programDir + QLatin1Char('/') + tool + m_exeSuffix).isExecutable()) {
        dialogs::warning(m_window, trMain("Error"),
                         trMain("The boot-loader tool %1 is missing. Put the screen maker's %1 into %2 and try again.")
                             .arg(tool + m_exeSuffix, QDir::toNativeSeparators(m_programDir)));
        return;
    }

    // The family decides the end as it decided the checks, whatever the
    // screen is by then.
    m_telv = firmwareFamily(opened.kind, opened.identification) == fwimage::FirmwareFamily::Telv;
    m_bar->setValue(0);
    m_bar->show();
    UpgradeRequest request;
    request.firmwarePath = path;
    request.firmware = file.content;
    request.toolDir = m_programDir;
    request.exeSuffix = m_exeSuffix;
    m_session.startUpgrade(std::move(request));
}

bool UpgradeDialogue::onProgress(int value)
{
    if (value >= 0 && value < 100) {
        m_bar->setValue(value);
        return false;
    }
    m_session.upgrade().wait(1000);
    m_bar->hide();
    if (value < 0) {
        dialogs::information(m_window, trMain("Notify"), trMain("Upgrade firmware failed."));
    } else {
        m_bar->setValue(value);
        if (!m_telv) {
            dialogs::information(m_window, trMain("Notify"), trMain("Upgrade done, please unplug to reboot the screen."));
        } else {
            dialogs::information(m_window, trMain("Notify"), trMain("Upgrade done, click OK to reboot the screen."));
            m_session.restartAfterUpgrade(m_programDir, m_exeSuffix);
        }
    }
    m_session.upgradeEnded();
    return true;
}

void UpgradeDialogue::tellServerFailure()
{
    // Shown before the failure itself; the upgrade waits for it to close.
    dialogs::critical(nullptr, QStringLiteral("Error"), QStringLiteral("Can not get data from server."));
    m_session.upgrade().serverFailureTold();
}
