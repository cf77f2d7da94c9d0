#pragma once

#include "modeltable.h"
#include "paneltests.h"
#include "upgradethread.h"
#include "screen.h"
#include "telvmonitorthread.h"
#include "usbeventthread.h"
#include "usbhandles.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QPixmap>

#include <memory>

namespace Ui {
class MainWindow;
}

namespace screenlink {
class DeviceList;
}

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // The open screen, none when nothing is open.
    const std::shared_ptr<screenlink::Screen> &screen() const { return screenHandle; }
    const screenlink::ScreenGeometry &geometry() const { return screenGeometry; }
    uint16_t rememberedVendorId() const { return screenVendorId; }
    uint16_t rememberedProductId() const { return screenProductId; }
    int firmwareMinor() const { return screenFirmwareMinor; }
    // One scan without arming the next (the timer chain keeps running).
    void scanNow();
    bool ledTestRunning() const { return ledTestThread.isRunning(); }
    bool upgradeRunning() const { return upgradeThread.isRunning(); }
    const UpgradeThread &upgradeWorker() const { return upgradeThread; }
    // Where the program's own folder is taken to be; tests move it.
    void setApplicationDir(const QString &dir) { m_applicationDir = dir; }
    bool throughputTestRunning() const { return testThread.isRunning(); }
    bool monitorRunning() const { return monitorThread.isRunning(); }
    // Closes the screen for a tool or a reboot; the remembered IDs stay.
    void handOverScreen();

signals:
    void touchReady(int x, int y, int t);

public slots:
    void onScanUSB();
    void onBacklight(int level);
    void onUpdateFrame();
    void onUpgrade();
    void onUpProgress(int value);
    void onColorChanged();
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
    // `currentIsStale`: the open screen left the bus and came back; its
    // entry is listed afresh.
    void syncScreenList(const screenlink::DeviceList &devices, QStringList newEntries, bool currentIsStale);
    bool openBootScreen(libusb_device *device);
    // Drops the remembered IDs, so that whatever comes back at the port is
    // opened again, boot loader or not.
    void forgetScreen();
    // The boot-loader tool the upgrade of `path` needs for the remembered
    // screen, when it is not next to the program; empty otherwise.
    QString missingTool(const QString &path) const;
    // Whether the screen told to restart is still on the bus as it was.
    bool restartPending(const screenlink::DeviceList &devices);
    bool openRunningScreen(libusb_device *device);
    // Stops every user of the open screen and closes it.
    void releaseScreen();
    void setLamp(bool on);
    void stopScreenUsers();
    void restartScreen();
    // Tells the user that a feature needs a screen; true when one is open.
    bool requireScreen();

    std::unique_ptr<Ui::MainWindow> ui;
    USBEventThread usbEventThread;
    UpgradeThread upgradeThread;
    TestThread testThread;
    LEDTestThread ledTestThread;
    TelvMonitorThread monitorThread{1000};

    std::shared_ptr<screenlink::UsbContext> usbContext;
    std::shared_ptr<screenlink::Screen> screenHandle;
    uint16_t screenVendorId = 0xFFFF;
    uint16_t screenProductId = 0xFFFF;
    int screenFirmwareMinor = 0;
    screenlink::ScreenGeometry screenGeometry;
    QString exeSuffix;
    QString m_applicationDir;
    // Where the open screen sits on the bus, to notice it left and came back.
    int m_openBus = -1;
    int m_openAddress = -1;
    int m_restartBus = -1;
    int m_restartAddress = -1;
    QElapsedTimer m_restartSince;
    bool m_closeAfterUpgrade = false;
    bool m_selectAfterUpgrade = false;
};
