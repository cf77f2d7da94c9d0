#pragma once

#include "screeninfo.h"
#include "upgradesteps.h"

#include <QObject>
#include <QString>

class QProgressBar;
class QWidget;

namespace session {
class ScreenSession;
}

// The firmware upgrade as the user goes through it: the model's file or one
// chosen by hand, the warnings and confirmations, the checks of the file,
// the progress bar and the result. The session runs the upgrade and the
// restart; this only asks and shows.
class UpgradeDialogue : public QObject {
    Q_OBJECT

public:
    UpgradeDialogue(QWidget *window, session::ScreenSession &session, QProgressBar *bar);

    // Where the program is: the firmware folder and the tools are found
    // from there.
    void setProgramDir(const QString &dir, const QString &exeSuffix);

    // The whole dialogue; starts the upgrade when every answer and check
    // allows it.
    void start();

signals:
    // The end was shown to the user.
    void finished();
    // A line for the status bar while the upgrade runs.
    void notice(const QString &text);

private:
    // The file to write, as the user chose it; empty when the user stopped.
    QString chooseFile();
    void showProgress(const session::UpgradeProgress &progress);
    void showEnd(const session::UpgradeResult &result);

    QWidget *m_window;
    session::ScreenSession &m_session;
    QProgressBar *m_bar;
    QString m_programDir;
    QString m_exeSuffix;
    session::UpgradePath m_path = session::UpgradePath::TelvRunning;
    bool m_saidSlow = false;
};
