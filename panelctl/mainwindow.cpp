#include "mainwindow.h"

#include "ui_mainwindow.h"

#include <QTimer>

namespace {

constexpr int kScanPeriodMs = 3000;

const char *kindWord(const libusb_device_descriptor &d)
{
    if (d.idVendor == 0xC872 && d.idProduct == 0x1004)
        return "SCREEN";
    if (d.idVendor == 0x04B4 && d.idProduct == 0x8613)
        return "K2T";
    if (d.idVendor == 0x1F3A && d.idProduct == 0xEFE8)
        return "TELV";
    return nullptr;
}

} // namespace

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(std::make_unique<Ui::MainWindow>())
{
    ui->setupUi(this);
    ui->pbVFlip->setEnabled(false);
    ui->pbHFlip->setEnabled(false);
    ui->pbMonitor->hide();
    ui->pbLog->hide();
    ui->pbTest->hide();
    ui->pgUpgrade->hide();
    if (m_usb)
        m_events.startPumping(m_usb.get());
    ui->statusBar->showMessage(tr("No Device."));
    QTimer::singleShot(0, this, &MainWindow::onScanUSB);
}

MainWindow::~MainWindow()
{
    if (m_events.isRunning())
        m_events.stopPumping();
}

void MainWindow::onScanUSB()
{
    QStringList entries;
    if (m_usb) {
        screenlink::DeviceList list(m_usb.get());
        for (size_t i = 0; i < list.size(); ++i) {
            libusb_device_descriptor desc{};
            if (libusb_get_device_descriptor(list[i], &desc) < 0)
                continue;
            if (const char *word = kindWord(desc))
                entries << QStringLiteral("%1,%2,PHY(%3.%4)")
                               .arg(i)
                               .arg(QLatin1String(word))
                               .arg(libusb_get_bus_number(list[i]))
                               .arg(libusb_get_port_number(list[i]));
        }
    }
    QStringList shown;
    for (int i = 0; i < ui->mbScreenList->count(); ++i)
        shown << ui->mbScreenList->itemText(i);
    if (shown != entries) {
        ui->mbScreenList->clear();
        ui->mbScreenList->addItems(entries);
        QString sheet = ui->lbStatusLED->styleSheet();
        if (entries.isEmpty())
            sheet.replace(QLatin1String("green"), QLatin1String("gray"));
        else
            sheet.replace(QLatin1String("gray"), QLatin1String("green"));
        ui->lbStatusLED->setStyleSheet(sheet);
    }
    QTimer::singleShot(kScanPeriodMs, this, &MainWindow::onScanUSB);
}
