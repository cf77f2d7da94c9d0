#pragma once

#include "screen.h"
#include "telvmonitorthread.h"
#include "usbhandles.h"

#include <QMainWindow>
#include <QSize>

#include <functional>
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
    // Stops monitor mode first: the thread must not outlive the window.
    ~MainWindow() override;

    // The size monitor mode runs at: the last one a chosen screen reported.
    QSize screenSize() const { return QSize(m_width, m_height); }
    bool monitorRunning() const { return m_monitor.isRunning(); }

public slots:
    void onRefresh();
    void onMonitor();

private:
    void startMonitor();
    void stopMonitor();
    // Opens each running screen in the bus's order and reads its device ID;
    // the first one `take` accepts is returned open, every other is closed.
    std::shared_ptr<screenlink::Screen> walkScreens(const std::function<bool(const QString &id)> &take);
    // Width and height from the second field of the screen's information
    // string ("480x800"); kept as they were when it has none.
    void readScreenSize(screenlink::Screen &screen);
    void blankScreen(screenlink::Screen &screen) const;

    std::unique_ptr<Ui::MainWindow> m_ui;
    std::shared_ptr<screenlink::UsbContext> m_usbContext;
    std::shared_ptr<screenlink::Screen> m_chosen;
    int m_width = 0;
    int m_height = 0;
    QString m_exeSuffix;
    TelvMonitorThread m_monitor;
};
