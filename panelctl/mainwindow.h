#pragma once

#include "screensession.h"

#include <QMainWindow>
#include <QPixmap>

#include <memory>

namespace Ui {
class MainWindow;
}

class UpgradeDialogue;

// The control panel: the form, what it shows of the session's screens, and
// the dialogs. The screens themselves are the session's.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    session::ScreenSession &session() { return m_session; }
    // Where the program's own folder is taken to be (the frame driver, the
    // boot-loader tools, ../firmware); tests move it.
    void setProgramDir(const QString &dir);
    QString programDir() const { return m_programDir; }

public slots:
    void onScanUSB();
    void onBacklight(int level);
    void onUpdateFrame();
    void onUpgrade();
    void onColorChanged(const QColor &colour);
    void onTest();
    void onLEDTest();
    void onUpdateFlip();
    void onMonitorMode();
    void onLog();
    void onSelectScreen(int index);
    void updateFrame(const QPixmap &picture);
    void updateFlip();

protected:
    void closeEvent(QCloseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void showList();
    void showSelection(session::Selection selection);
    void showScreenClosed();
    void showLogOutcome(session::LogOutcome outcome);
    void showPicture(const QImage &picture);
    void showTestFailure(const QString &failure);
    void onUpgradeShown();
    void setLamp(bool on);
    void showBacklight(int level);
    // The flip buttons as the open panel allows and starts them; sends the flip.
    void resetFlips();
    // Tells the user that a feature needs a screen; true when one is usable.
    bool requireScreen();

    std::unique_ptr<Ui::MainWindow> ui;
    session::ScreenSession m_session;
    std::unique_ptr<UpgradeDialogue> m_upgrade;
    QString m_programDir;
    QString m_exeSuffix;
    bool m_closeAfterUpgrade = false;
};
