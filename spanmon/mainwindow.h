#pragma once

#include "chooser.h"
#include "monitorservice.h"

#include <QMainWindow>

#include <memory>

namespace Ui {
class MainWindow;
}

// Lists the running screens by device ID and shows the desktop on each one
// started, which stays open while its monitor mode runs: Start and Stop act
// on the screen chosen in the list.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    // The chooser stops monitor mode first: it must not outlive the window.
    ~MainWindow() override;

    session::ScreenChooser &chooser() { return m_chooser; }
    // The size monitor mode runs at: the last one a chosen screen reported.
    QSize screenSize() const { return m_chooser.screenSize(); }
    bool monitorRunning() const { return m_chooser.monitorRunning(); }
    // Where the program's own folder is taken to be (the frame driver).
    void setProgramDir(const QString &dir) { m_programDir = dir; }

public slots:
    void onRefresh();
    void onMonitor();

private:
    // The chosen screen's own choices: remembered or not, and its mode.
    void showChoices();
    void onAutoToggled(bool on);
    void onModeChosen(int index);
    // The remembered screens and what the service does with each.
    void showRemembered();
    void onStopService();

    void showScreens(const QStringList &ids, const QStringList &inUsePorts);
    void showChosen(const QString &id, session::ChooseOutcome outcome);
    // The button and the list of shown screens, for the chosen one.
    void showState();

    std::unique_ptr<Ui::MainWindow> m_ui;
    session::ScreenChooser m_chooser;
    session::monitorservice::Watch m_service;
    QString m_programDir;
    QString m_exeSuffix;
};
