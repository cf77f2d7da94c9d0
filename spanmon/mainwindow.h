#pragma once

#include "chooser.h"

#include <QMainWindow>

#include <memory>

namespace Ui {
class MainWindow;
}

// Lists the running screens by device ID and mirrors the desktop to the one
// chosen, which stays open while monitor mode runs.
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
    void showScreens(const QStringList &ids, const QStringList &inUsePorts);
    void showChosen(session::ChooseOutcome outcome);
    void showIdle();

    std::unique_ptr<Ui::MainWindow> m_ui;
    session::ScreenChooser m_chooser;
    QString m_programDir;
    QString m_exeSuffix;
    enum class State { Idle, Starting, Monitoring } m_state = State::Idle;
};
