#pragma once

#include "usbeventthread.h"
#include "usbhandles.h"

#include <QMainWindow>

#include <memory>

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

public slots:
    void onScanUSB();

private:
    std::unique_ptr<Ui::MainWindow> ui;
    screenlink::UsbContext m_usb;
    USBEventThread m_events;
};
