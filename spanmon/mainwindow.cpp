#include "mainwindow.h"

#include "bridge.h"
#include "devicelist.h"
#include "dialogs.h"
#include "frameshare.h"
#include "identify.h"
#include "platform.h"
#include "requests.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QDebug>
#include <QTimer>

#include <vector>

using namespace screenlink;

namespace {

constexpr int kDriverPauseMs = 800;
// The thread's transfers time out after 100 ms and its wait for a picture
// after one slice: it ends well within this.
constexpr int kStopWaitMs = 8000;

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), m_ui(std::make_unique<Ui::MainWindow>()), m_monitor(kDriverPauseMs)
{
    m_ui->setupUi(this);
    connect(m_ui->pbRefresh, SIGNAL(clicked(bool)), this, SLOT(onRefresh()));
    connect(m_ui->pbDo, SIGNAL(clicked(bool)), this, SLOT(onMonitor()));
    QTimer::singleShot(0, this, &MainWindow::onRefresh);
    m_exeSuffix = QString::fromStdString(platform::exeSuffix());
    m_monitor.setDriverPath(QCoreApplication::applicationDirPath() + QStringLiteral("/telvdrv") + m_exeSuffix);
    m_usbContext = std::make_shared<UsbContext>();
}

MainWindow::~MainWindow()
{
    if (m_chosen || m_monitor.isRunning())
        stopMonitor();
}

std::shared_ptr<Screen> MainWindow::walkScreens(const std::function<bool(const QString &id)> &take)
{
    const DeviceList devices(m_usbContext->get());
    for (libusb_device *device : devices) {
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(device, &desc) < 0
            || deviceKind(desc.idVendor, desc.idProduct) != DeviceKind::RunningScreen)
            continue;
        std::shared_ptr<Screen> screen = Screen::open(m_usbContext, device);
        if (!screen)
            continue;
        if (take(readDeviceId(*screen)))
            return screen;
    }
    return nullptr;
}

void MainWindow::onRefresh()
{
    m_ui->cbList->clear();
    walkScreens([this](const QString &id) {
        m_ui->cbList->addItem(id);
        return false;
    });
}

void MainWindow::onMonitor()
{
    if (m_ui->pbDo->text() == QLatin1String("Stop"))
        stopMonitor();
    else
        startMonitor();
}

void MainWindow::startMonitor()
{
    const QString wanted = m_ui->cbList->currentText();
    if (wanted.isEmpty()) {
        dialogs::information(this, tr("Error"), tr("No valid screen."));
        return;
    }
    std::shared_ptr<Screen> chosen = walkScreens([&wanted](const QString &id) { return id == wanted; });
    if (!chosen) {
        dialogs::information(this, tr("Error"), tr("Screen is not connected."));
        return;
    }
    readScreenSize(*chosen);
    // The rate divides by both, and the picture must fit the frame share.
    if (!monitor::pictureFits(int64_t(m_width) * 4, m_width, m_height)) {
        dialogs::information(this, tr("Error"), tr("The screen did not report a usable size."));
        return;
    }
    m_chosen = std::move(chosen);
    m_ui->pbRefresh->setEnabled(false);
    m_ui->pbDo->setText(tr("Stop"));
    m_monitor.start(m_chosen, m_width, m_height);
}

void MainWindow::stopMonitor()
{
    m_ui->pbRefresh->setEnabled(true);
    m_ui->pbDo->setText(tr("Start"));
    // The thread sends its own last frame: ours must come after it, and the
    // handle must not close under it.
    if (!m_monitor.stopAndWait(kStopWaitMs))
        qDebug("The monitor thread did not end in time.");
    if (m_chosen) {
        blankScreen(*m_chosen);
        m_chosen.reset();
    }
}

void MainWindow::readScreenSize(Screen &screen)
{
    uint8_t text[128] = {};
    readIdentString(screen.handle(), text);
    const QString info = QString::fromUtf8(reinterpret_cast<const char *>(text));
    if (const std::optional<QSize> size = screenSizeFromInformation(info)) {
        m_width = size->width();
        m_height = size->height();
    }
}

void MainWindow::blankScreen(Screen &screen) const
{
    const uint32_t bytes = uint32_t(m_width) * uint32_t(m_height) * 2;
    const std::vector<uint8_t> black(bytes, 0);
    sendFrameHeader(screen.handle(), bytes);
    sendBulk(screen.handle(), black.data(), int(bytes));
}
