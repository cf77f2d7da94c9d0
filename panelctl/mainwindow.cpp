#include "mainwindow.h"

#include "bridge.h"
#include "devicelist.h"
#include "dialogs.h"
#include "frameoutput.h"
#include "identify.h"
#include "platform.h"
#include "requests.h"
#include "screenlog.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QCloseEvent>
#include <QMimeData>
#include <QProcess>
#include <QSaveFile>
#include <QDebug>

#include <algorithm>
#include <optional>
#include <cstring>
#include <QTimer>

using namespace screenlink;

namespace {

constexpr int kScanPeriodMs = 3000;
// The monitor thread ends within one wait slice and one transfer.
constexpr int kMonitorStopWaitMs = 8000;
constexpr int kFirstFrameDelayMs = 1000;
constexpr uint16_t kNoId = 0xFFFF;
// How long a screen told to restart may stay on the bus before it is taken
// up again as it is.
constexpr qint64 kRestartPatienceMs = 10000;

} // namespace

static void initLogoResources()
{
    // The logos live in a static library: its resources register only when asked.
    Q_INIT_RESOURCE(logos);
}

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(std::make_unique<Ui::MainWindow>())
{
    initLogoResources();
    ui->setupUi(this);
    ui->mainDisplay->setPanelSource([this] {
        return touchinput::TouchPanel{screenGeometry.panelWidth, screenGeometry.panelHeight,
                                      screenGeometry.rotationCode, screenGeometry.telvFamily,
                                      screenGeometry.sizeCode, screenFirmwareMinor};
    });
    screenGeometry.panelWidth = 800;
    screenGeometry.panelHeight = 480;
    ui->pbVFlip->setEnabled(false);
    ui->pbHFlip->setEnabled(false);
    screenProductId = kNoId;
    screenVendorId = kNoId;
    exeSuffix = QString::fromStdString(platform::exeSuffix());
    m_applicationDir = QCoreApplication::applicationDirPath();
    const QString driver = m_applicationDir + QStringLiteral("/telvdrv") + exeSuffix;
    if (!QFile::exists(driver))
        ui->pbMonitor->hide();
    ui->pbLog->hide();
    usbContext = std::make_shared<UsbContext>();
    if (*usbContext)
        usbEventThread.startPumping(usbContext->get());

    connect(ui->barBacklight, SIGNAL(valueChanged(int)), this, SLOT(onBacklight(int)));
    connect(ui->pbClean, SIGNAL(clicked()), ui->mainDisplay, SLOT(onClean()));
    connect(ui->pbUpgrade, SIGNAL(clicked()), this, SLOT(onUpgrade()));
    connect(this, SIGNAL(touchReady(int,int,int)), ui->mainDisplay, SLOT(onTouchReady(int,int,int)));
    connect(&upgradeThread, SIGNAL(progress(int)), this, SLOT(onUpProgress(int)));
    connect(ui->pbRed, SIGNAL(clicked(bool)), this, SLOT(onColorChanged()));
    connect(ui->pbGreen, SIGNAL(clicked(bool)), this, SLOT(onColorChanged()));
    connect(ui->pbBlue, SIGNAL(clicked(bool)), this, SLOT(onColorChanged()));
    connect(ui->pbBlack, SIGNAL(clicked(bool)), this, SLOT(onColorChanged()));
    connect(ui->pbWhite, SIGNAL(clicked(bool)), this, SLOT(onColorChanged()));
    connect(ui->pbLEDTest, SIGNAL(clicked(bool)), this, SLOT(onLEDTest()));
    connect(ui->pbTest, SIGNAL(clicked(bool)), this, SLOT(onTest()));
    ui->pbTest->hide();
    connect(ui->pbVFlip, SIGNAL(toggled(bool)), this, SLOT(onUpdateFlip()));
    connect(ui->pbHFlip, SIGNAL(toggled(bool)), this, SLOT(onUpdateFlip()));
    connect(ui->pbMonitor, SIGNAL(toggled(bool)), this, SLOT(onMonitorMode()));
    connect(ui->pbLog, SIGNAL(clicked(bool)), this, SLOT(onLog()));
    connect(ui->mbScreenList, SIGNAL(currentIndexChanged(int)), this, SLOT(onSelectScreen(int)));
    ui->pgUpgrade->hide();

    ui->statusBar->showMessage(tr("No Device."));
    QTimer::singleShot(0, this, &MainWindow::onScanUSB);
}

MainWindow::~MainWindow()
{
    // The screen goes first, while the event thread can still finish its
    // touch transfer; then the thread, then (as members) the context.
    releaseScreen();
    if (usbEventThread.isRunning())
        usbEventThread.stopPumping();
    // An upgrade cut off midway can leave a screen that no longer starts;
    // a box it waits for can no longer be shown.
    upgradeThread.abandonPrompts();
    upgradeThread.wait();
    // Selection signals must not reach a half-destroyed window.
    ui->mbScreenList->disconnect(this);
}

void MainWindow::onScanUSB()
{
    // The list stands still while an upgrade runs: nothing may open or close
    // the screen under the worker.
    if (!upgradeThread.isRunning())
        scanNow();
    QTimer::singleShot(kScanPeriodMs, this, &MainWindow::onScanUSB);
}

void MainWindow::scanNow()
{
    // A list that cannot be read counts as empty.
    const DeviceList devices(usbContext->get());
    QStringList newEntries;
    bool openStillThere = false;
    for (size_t i = 0; i < devices.size(); ++i) {
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(devices[i], &desc) < 0)
            continue;
        const DeviceKind kind = deviceKind(desc.idVendor, desc.idProduct);
        if (kind == DeviceKind::Other)
            continue;
        newEntries << QStringLiteral("%1,%2,%3").arg(i).arg(kindWord(kind), phyText(devices[i]));
        openStillThere = openStillThere
                         || (libusb_get_bus_number(devices[i]) == m_openBus
                             && libusb_get_device_address(devices[i]) == m_openAddress);
    }
    // A screen that left the bus and came back between two scans (a reboot,
    // a quick replug) has a new address: the handle to its old self is dead,
    // and the screen is taken up again as new.
    const bool openGone = screenHandle && !openStillThere;
    if (openGone) {
        releaseScreen();
        forgetScreen();
    }
    syncScreenList(devices, newEntries, openGone);
    // Nothing open while a screen is listed as current (it came back after
    // an upgrade, or could not be opened before): open it now. Not the very
    // device that was told to restart while it is still on its way out.
    if (!screenHandle && ui->mbScreenList->currentIndex() >= 0 && !upgradeThread.isRunning()
        && !restartPending(devices))
        onSelectScreen(ui->mbScreenList->currentIndex());
}

bool MainWindow::restartPending(const DeviceList &devices)
{
    if (m_restartAddress < 0)
        return false;
    if (m_restartSince.hasExpired(kRestartPatienceMs)) {
        m_restartAddress = -1; // it never left: take it up as it is
        return false;
    }
    for (libusb_device *device : devices)
        if (libusb_get_bus_number(device) == m_restartBus && libusb_get_device_address(device) == m_restartAddress)
            return true;
    m_restartAddress = -1;
    return false;
}

void MainWindow::syncScreenList(const DeviceList &devices, QStringList newEntries, bool currentIsStale)
{
    QComboBox *list = ui->mbScreenList;
    // Entries that no longer stand for what is at their port: the same port
    // with another kind of device (a boot loader that now runs its firmware,
    // or the other way round), and an open screen that left and came back.
    // They are listed afresh from this scan.
    QStringList listed;
    QStringList gone;
    for (int i = 0; i < list->count(); ++i) {
        const QString text = list->itemText(i);
        const QString port = entryField(text, 2);
        const QString was = kindWord(DeviceKind(list->itemData(i).toInt()));
        const bool changed = std::any_of(newEntries.begin(), newEntries.end(), [&](const QString &entry) {
            return entryField(entry, 2) == port && entryField(entry, 1) != was;
        });
        if (changed || (currentIsStale && i == list->currentIndex()))
            gone << text;
        else
            listed << text;
    }
    gone += matchListedEntries(listed, newEntries);

    bool currentRemoved = false;
    QString currentPort;
    for (const QString &text : std::as_const(gone)) {
        const int i = list->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
        if (i < 0)
            continue;
        if (i == list->currentIndex()) {
            currentRemoved = true;
            currentPort = entryField(text, 2);
        }
        // No selection in between: the one below opens whatever is at the
        // chosen port now.
        const QSignalBlocker blocker(list);
        list->removeItem(i);
    }

    for (const QString &entry : std::as_const(newEntries)) {
        if (entry.contains(QLatin1String("TELV")) || entry.contains(QLatin1String("K2T"))) {
            const DeviceKind kind =
                entry.contains(QLatin1String("TELV")) ? DeviceKind::TelvBootLoader : DeviceKind::K2tBootLoader;
            list->addItem(entry, int(kind));
        } else if (entry.contains(QLatin1String("SCREEN"))) {
            const int index = entryField(entry, 0).toInt(nullptr, 10);
            if (index < 0 || size_t(index) >= devices.size())
                continue;
            // Listing must not disturb the open screen's record: identify
            // into a copy through a handle of its own.
            std::shared_ptr<Screen> probe = Screen::open(usbContext, devices[size_t(index)]);
            if (!probe)
                continue; // tried again at the next scan
            ScreenGeometry scratch = screenGeometry;
            const QString identification = identifyScreen(*probe, scratch);
            const QString deviceId = readDeviceId(*probe);
            probe.reset();
            list->addItem(listedName(identification) + QLatin1Char(',') + deviceId + QLatin1Char(',')
                              + entryField(entry, 2),
                          int(DeviceKind::RunningScreen));
        }
    }

    if (!currentRemoved) {
        if (list->currentIndex() < 0 && list->count() > 0)
            list->setCurrentIndex(0);
        return;
    }
    // The screen at the port the user chose when one is there again, else
    // the first; with none left, the selection says so.
    int next = list->count() > 0 ? 0 : -1;
    for (int i = 0; i < list->count(); ++i)
        if (entryField(list->itemText(i), 2) == currentPort)
            next = i;
    if (next == list->currentIndex())
        onSelectScreen(next); // the index did not move: no signal runs it
    else
        list->setCurrentIndex(next);
}

void MainWindow::onSelectScreen(int)
{
    if (upgradeThread.isRunning()) {
        m_selectAfterUpgrade = true;
        return;
    }
    if (screenHandle) {
        releaseScreen();
        screenVendorId = kNoId;
        screenProductId = kNoId;
    }
    const DeviceList devices(usbContext->get());
    const QString current = ui->mbScreenList->currentText();
    const QString key = current.isEmpty() ? kNoPort : entryField(current, 2);
    int bus = 0;
    int port = 0;
    parsePhyText(key, &bus, &port);

    libusb_device *found = nullptr;
    for (libusb_device *device : devices) {
        if (libusb_get_bus_number(device) == bus && libusb_get_port_number(device) == port) {
            found = device;
            break;
        }
    }
    if (!found) {
        ui->statusBar->showMessage(tr("No device."));
        setWindowTitle(tr("Tavrik Screen Test") + tr(" - v55n"));
        setLamp(false);
        ui->mainDisplay->setText(tr("Drag and Drop Picture Here"));
        ui->mainDisplay->onClean();
        return;
    }

    libusb_device_descriptor desc{};
    libusb_get_device_descriptor(found, &desc);
    switch (deviceKind(desc.idVendor, desc.idProduct)) {
    case DeviceKind::TelvBootLoader:
    case DeviceKind::K2tBootLoader: {
        setLamp(true);
        // After a tool took the screen the IDs still name it; it opens again
        // only once a selection has closed an open handle.
        if (!screenHandle && screenVendorId == kNoId && screenProductId == kNoId && openBootScreen(found)) {
            const bool telv = deviceKind(desc.idVendor, desc.idProduct) == DeviceKind::TelvBootLoader;
            ui->statusBar->showMessage(telv ? tr("Connected, click \"Upgrade\" to write TELV firmware.")
                                            : tr("Connected, click \"Upgrade\" to write K2T/K5TX firmware."));
            screenVendorId = desc.idVendor;
            screenProductId = desc.idProduct;
        }
        break;
    }
    case DeviceKind::RunningScreen:
        setLamp(true);
        if (!screenHandle && openRunningScreen(found)) {
            const QString identification = identifyScreen(*screenHandle, screenGeometry);
            const QString deviceId = readDeviceId(*screenHandle);
            ui->statusBar->showMessage(identification + QStringLiteral(", ") + deviceId);
            ui->pbLog->setVisible(identification.contains(QLatin1String("DEBUG")));
            if (const auto minor = screenlink::firmwareMinor(identification))
                screenFirmwareMinor = *minor;
            setWindowTitle(QStringLiteral("ID: ") + deviceId);
            screenVendorId = desc.idVendor;
            screenProductId = desc.idProduct;
            const QSize picture = screenGeometry.pictureSize();
            ui->mainDisplay->resize(picture);
            resize(picture + QSize(20, 50));
        }
        break;
    case DeviceKind::Other:
        break;
    }
}

bool MainWindow::openBootScreen(libusb_device *device)
{
    screenHandle = Screen::open(usbContext, device);
    m_openBus = screenHandle ? libusb_get_bus_number(device) : -1;
    m_openAddress = screenHandle ? libusb_get_device_address(device) : -1;
    return screenHandle != nullptr;
}

void MainWindow::forgetScreen()
{
    screenVendorId = kNoId;
    screenProductId = kNoId;
}

bool MainWindow::openRunningScreen(libusb_device *device)
{
    if (!openBootScreen(device))
        return false;
    // Runs on the USB event thread; the signal reaches the preview queued.
    screenHandle->startTouch([this](const TouchTransfer::Report &r) {
        const touchinput::RawTouch touch = touchinput::decodeReport(r);
        emit touchReady(touch.x, touch.y, touch.t);
    });
    QTimer::singleShot(kFirstFrameDelayMs, this, &MainWindow::onUpdateFrame);
    return true;
}

void MainWindow::stopScreenUsers()
{
    // The monitor thread keeps its screen open while it runs; it ends with
    // the screen the user let go of rather than mirror to one not chosen.
    // Only a running one: a stop ends every frame driver, spanmon's too.
    if (monitorThread.isRunning() && !monitorThread.stopAndWait(kMonitorStopWaitMs))
        qDebug("The monitor thread did not end in time.");
    {
        const QSignalBlocker blocker(ui->pbMonitor);
        ui->pbMonitor->setChecked(false);
    }
    ledTestThread.stopAndWait();
    ui->pbLEDTest->setChecked(false);
    testThread.stopAndWait();
}

void MainWindow::releaseScreen()
{
    stopScreenUsers();
    if (!screenHandle)
        return;
    screenHandle->stopTouch();
    screenHandle.reset();
}

bool MainWindow::requireScreen()
{
    if (upgradeThread.isRunning()) {
        dialogs::warning(this, tr("Error"), tr("A firmware upgrade is running."));
        return false;
    }
    if (screenHandle)
        return true;
    dialogs::warning(this, tr("Error"), tr("No screen connected."));
    return false;
}

void MainWindow::handOverScreen()
{
    releaseScreen();
}

void MainWindow::setLamp(bool on)
{
    QString sheet = ui->lbStatusLED->styleSheet();
    if (on)
        sheet.replace(QLatin1String("gray"), QLatin1String("green"));
    else
        sheet.replace(QLatin1String("green"), QLatin1String("gray"));
    ui->lbStatusLED->setStyleSheet(sheet);
}

void MainWindow::updateFrame(const QPixmap &picture)
{
    const QImage frameImage = frameoutput::renderPicture(picture.toImage(), screenGeometry.pictureSize());
    ui->mainDisplay->setPixmap(QPixmap::fromImage(frameImage));
    if (!screenHandle || upgradeThread.isRunning())
        return;
    const frameoutput::Frame frame = frameoutput::buildFrame(frameImage, screenGeometry);
    libusb_device_handle *h = screenHandle->handle();
    sendDisplayOn(h);
    for (int i = 0; i < (frame.sendTwice ? 2 : 1); ++i) {
        sendFrameHeader(h, frame.count);
        sendBulk(h, frame.buffer.data(), int(frame.count));
    }
}

void MainWindow::onUpdateFrame()
{
    QPixmap picture = ui->mainDisplay->pixmap();
    if (picture.isNull()) {
        picture = QPixmap(defaultLogo(screenGeometry.panelWidth, screenGeometry.panelHeight));
        const bool allowed = screenGeometry.flipAllowed != 0;
        ui->pbVFlip->setEnabled(allowed);
        ui->pbHFlip->setEnabled(allowed);
        ui->pbVFlip->setChecked(screenGeometry.flipDefault & 1);
        ui->pbHFlip->setChecked(screenGeometry.flipDefault & 2);
        updateFlip();
    }
    updateFrame(picture);
}

void MainWindow::updateFlip()
{
    if (!ui->pbVFlip->isEnabled() || !ui->pbHFlip->isEnabled())
        return;
    const int flip = (ui->pbVFlip->isChecked() ? 1 : 0) + (ui->pbHFlip->isChecked() ? 2 : 0);
    if (screenHandle && !upgradeThread.isRunning())
        sendFlip(screenHandle->handle(), uint8_t(flip));
}

void MainWindow::onUpdateFlip()
{
    updateFlip();
    QTimer::singleShot(0, this, &MainWindow::onUpdateFrame);
}

void MainWindow::onBacklight(int level)
{
    if (screenHandle && !upgradeThread.isRunning())
        sendBacklight(screenHandle->handle(), uint8_t(level & 0xFF));
}

void MainWindow::onColorChanged()
{
    const QString name = sender() ? sender()->objectName() : QString();
    QColor colour = Qt::white;
    // The last word found in the button's name wins.
    const std::pair<const char *, Qt::GlobalColor> words[] = {
        {"White", Qt::white}, {"Black", Qt::black}, {"Red", Qt::red}, {"Green", Qt::green}, {"Blue", Qt::blue}};
    for (const auto &[word, c] : words)
        if (name.contains(QLatin1String(word)))
            colour = c;
    QPixmap fill(screenGeometry.pictureSize());
    fill.fill(colour);
    updateFrame(fill);
}

void MainWindow::dragEnterEvent(QDragEnterEvent *event)
{
    event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent *event)
{
    const QList<QUrl> urls = event->mimeData() ? event->mimeData()->urls() : QList<QUrl>();
    // The URL's own local path: an absolute path on every platform, spaces
    // and non-ASCII characters decoded.
    if (urls.isEmpty() || !urls.first().isLocalFile()) {
        dialogs::information(this, tr("Notify"), tr("Not a valid file."));
        return;
    }
    const QPixmap picture(urls.first().toLocalFile());
    if (picture.isNull()) {
        dialogs::information(this, tr("Notify"), tr("This file do not have a valid pixmap."));
        return;
    }
    event->acceptProposedAction();
    updateFrame(picture);
}

void MainWindow::onMonitorMode()
{
    if (!ui->pbMonitor->isChecked()) {
        monitorThread.stop();
        return;
    }
    if (upgradeThread.isRunning()) {
        dialogs::warning(this, tr("Error"), tr("A firmware upgrade is running."));
        const QSignalBlocker blocker(ui->pbMonitor);
        ui->pbMonitor->setChecked(false);
        return;
    }
    dialogs::information(this, tr("Notify"),
                         tr("In panelctl, monitor mode only applies to the first screen. If you specify a screen ID, "
                            "please use spanmon%1 and run it as an administrator.")
                             .arg(exeSuffix));
    // The box may have been open for a while: the user may have unchecked
    // the button or picked another screen meanwhile.
    if (!ui->pbMonitor->isChecked())
        return;
    monitorThread.setDriverPath(m_applicationDir + QStringLiteral("/telvdrv") + exeSuffix);
    const QSize size = screenGeometry.pictureSize();
    // A boot loader takes no frames: the thread then finds no screen.
    const bool running = deviceKind(screenVendorId, screenProductId) == DeviceKind::RunningScreen;
    monitorThread.start(running ? screenHandle : nullptr, size.width(), size.height());
}

void MainWindow::onLEDTest()
{
    if (!ui->pbLEDTest->isChecked()) {
        ledTestThread.stop();
        return;
    }
    if (!requireScreen()) {
        ui->pbLEDTest->setChecked(false);
        return;
    }
    ledTestThread.startTest(screenHandle);
}

void MainWindow::onTest()
{
    if (!requireScreen())
        return;
    const QSize size = screenGeometry.pictureSize();
    testThread.startTest(screenHandle, size.width(), size.height());
}

void MainWindow::onLog()
{
    if (!requireScreen())
        return;
    ui->pbLog->setEnabled(false);
    libusb_device_handle *h = screenHandle->handle();

    // The file is written only once every read came back whole: a screen
    // that went away or lied must not cost the user the log saved before.
    uint8_t lengthBytes[4] = {};
    std::optional<QByteArray> log;
    if (readLogLength(h, lengthBytes) == int(sizeof lengthBytes)) {
        static_assert(screenlog::kChunkSize == kLogChunk);
        const screenlog::Length reported = screenlog::logLength(lengthBytes);
        if (reported.reported > screenlog::kBufferSize)
            qDebug() << "Screen log of" << reported.reported << "bytes is cut to" << screenlog::kBufferSize;
        log = screenlog::assembleLog(reported.bytes, [h](uint32_t offset, uint8_t *chunk) {
            return setLogOffset(h, offset) == 4 && readLogChunk(h, chunk) == kLogChunk;
        });
    }
    if (!log) {
        dialogs::warning(this, tr("Error"), tr("The log could not be read from the screen."));
        ui->pbLog->setEnabled(true);
        return;
    }

    QSaveFile file(QStringLiteral("screen.txt"));
    const bool saved = file.open(QIODevice::WriteOnly) && file.write(*log) == log->size() && file.commit();
    dialogs::information(this, tr("Notify"),
                         saved ? tr("Log file has saved to screen.txt") : tr("Log file could not be saved to screen.txt"));
    ui->pbLog->setEnabled(true);
}

namespace {

bool isTelvFamily(const QString &statusMessage)
{
    return statusMessage.contains(QLatin1String("TELV"));
}

} // namespace

void MainWindow::onUpgrade()
{
    // The path is never changed under a running worker, and a worker that
    // outlived its last wait is waited for before another starts.
    if (upgradeThread.isBusy()) {
        dialogs::warning(this, tr("Error"), tr("A firmware upgrade is running."));
        return;
    }
    if (!screenHandle) {
        dialogs::warning(this, tr("Error"), tr("No screen find."));
        return;
    }
    const QString defaultPath = m_applicationDir + QStringLiteral("/../firmware/") + screenGeometry.modelFirmwareName;
    if (defaultPath.contains(QLatin1Char(' ')))
        dialogs::warning(nullptr, tr("Warning"),
                         tr("Please move panelctl to a path that does not contain any spaces ")
                             + tr("or special characters, or the upgrade might fail."),
                         QMessageBox::Ok);

    QString path;
    if (screenGeometry.modelFirmwareName.contains(QLatin1String(".bin"))) {
        const auto answer = dialogs::information(
            nullptr, tr("NOTIFY"),
            tr("We will upgrade your device, firmware ") + defaultPath + tr(".\r\nContinue upgrade click on 'Yes';\r\n")
                + tr("Manually choose firmware, click on 'No'."),
            QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        if (answer == QMessageBox::Yes)
            path = defaultPath;
        else if (answer != QMessageBox::No)
            return;
    }
    if (path.isEmpty()) {
        static const char *const risk[] = {
            "You are trying to upgrade screen firmware!\r\n",
            "Using wrong firmware will broke your screen!\r\n",
            "The firmware path MUST NOT contain any spaces or special characters.\r\n\r\n",
            "K2T/K5TX Screens:\r\n",
            "4.0inch/PANEL-Y40: 4NK2T.bin\r\n",
            "4.0inch/PANEL-X40: 4NK5TX.bin\r\n",
            "4.0inch/TAVRIK-4NDNK2T: 4NDNK2T.bin\r\n",
            "5.0inch/PANEL-M50A: 5NK2T.bin\r\n",
            "4.3inch/PANEL-W43A: 4N3K2T.bin\r\n",
            "4.0inch/PANEL-W40B: 4NDXK2P.bin\r\n",
            "5.0inch/PANEL-W50G: 5NDK2T.bin\r\n",
            "6.8inch/PANEL-W68A: 7NDK2T.bin\r\n",
            "TELV Screens: \r\n",
            "(TELV.TAVRIK is TAVRIK logo, NOLOGO is black)\r\n",
            "5.0inch/TAVRIK-5INRGB: TELV.5d0.TAVRIK.bin\r\n",
            "4.0inch/TAVRIK-4INRGB: TELV.4d0.TAVRIK.bin\r\n",
            "4.3inch/TAVRIK-4.3INRGB: TELV.4d3.TAVRIK.bin\r\n",
            "6.8inch/TAVRIK-6.8INRGB: TELV.6d8.TAVRIK.bin\r\n",
            "10inch/TAVRIK-10INRGB: TELV.10d.TAVRIK.bin\r\n",
            "7.85inch long/PANEL-L78C: TELV.7n8.TAVRIK.bin\r\n",
            "4inch square/PANEL-Q40A: TELV.4s0.TAVRIK.bin\r\n",
            "3.4inch/TAVRIK-3.4IN-ROUND: TELV.3r4.TAVRIK.bin\r\n\r\n",
        };
        QString text;
        for (const char *line : risk)
            text += tr(line);
        dialogs::warning(nullptr, tr("IMPORTANT"), text, QMessageBox::Ok);
        const QString chosen =
            dialogs::getOpenFileName(nullptr, tr("Select the firmware file"), QString(), tr("Firmware (*.bin)"));
        if (chosen.isEmpty())
            return;
        if (dialogs::information(this, tr("Notify"), tr("Upgrade firmware: ") + chosen,
                                 QMessageBox::Yes | QMessageBox::Cancel)
            != QMessageBox::Yes)
            return;
        path = chosen;
    }

    const bool telv = isTelvFamily(ui->statusBar->currentMessage());
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        dialogs::warning(this, tr("Error"), tr("Can not open file."));
        return;
    }
    auto refuse = [this](const QString &text) { dialogs::warning(this, tr("Error"), text); };
    if (telv) {
        if (file.size() < 24576)
            return refuse(tr("This is not a valid firmware file, code = 1."));
        const QByteArray content = file.readAll();
        if (content.isEmpty() || uint8_t(content.at(0)) != 0x16)
            return refuse(tr("This is not a valid firmware file, code = 2."));
        if (!path.contains(QLatin1String("TELV")))
            return refuse(tr("This firmware is forbidden, file name must start with TELV."));
    } else {
        if (file.size() != 8192)
            return refuse(tr("This is not a valid firmware file, code = 3."));
        const QByteArray content = file.readAll();
        if (content.isEmpty() || uint8_t(content.at(0)) != 0xC2)
            return refuse(tr("This is not a valid firmware file, code = 4."));
        if (path.contains(QLatin1String("4NK2T.bin")))
            return refuse(tr("This firmware is forbidden."));
    }

    const QString missing = missingTool(path);
    if (!missing.isEmpty()) {
        dialogs::warning(this, tr("Error"),
                         tr("The boot-loader tool %1 is missing. Put the screen maker's %1 into %2 and try again.")
                             .arg(missing, QDir::toNativeSeparators(m_applicationDir)));
        return;
    }

    // The worker is the screen's only user from here on.
    stopScreenUsers();
    ui->pgUpgrade->setValue(0);
    ui->pgUpgrade->show();
    upgradeThread.firmwarePath = path;
    upgradeThread.applicationDir = m_applicationDir;
    upgradeThread.exeSuffix = exeSuffix;
    std::shared_ptr<Screen> screen = screenHandle;
    // A boot loader is the tools' to claim; the remembered IDs still say
    // which path the worker takes.
    if (deviceKind(screenVendorId, screenProductId) != DeviceKind::RunningScreen) {
        screen.reset();
        handOverScreen();
    }
    upgradeThread.startUpgrade(std::move(screen), screenVendorId, screenProductId);
    file.close();
}

void MainWindow::onUpProgress(int value)
{
    if (value >= 0 && value < 100) {
        ui->pgUpgrade->setValue(value);
        return;
    }
    upgradeThread.wait(1000);
    ui->pgUpgrade->hide();
    if (value < 0) {
        dialogs::information(this, tr("Notify"), tr("Upgrade firmware failed."));
    } else {
        ui->pgUpgrade->setValue(value);
        if (!isTelvFamily(ui->statusBar->currentMessage())) {
            dialogs::information(this, tr("Notify"), tr("Upgrade done, please unplug to reboot the screen."));
        } else {
            dialogs::information(this, tr("Notify"), tr("Upgrade done, click OK to reboot the screen."));
            restartScreen();
        }
    }
    // A screen handed to a tool or restarted is no longer open: whatever
    // comes back at its port, running or in a boot loader, is taken up anew.
    if (!screenHandle)
        forgetScreen();
    if (m_selectAfterUpgrade && !upgradeThread.isRunning()) {
        m_selectAfterUpgrade = false;
        onSelectScreen(ui->mbScreenList->currentIndex());
    }
    if (m_closeAfterUpgrade)
        QTimer::singleShot(0, this, &QWidget::close);
}

QString MainWindow::missingTool(const QString &path) const
{
    // The path picks the sequence, the screen's state its way of writing.
    const DeviceKind kind = deviceKind(screenVendorId, screenProductId);
    const bool telvPath = path.contains(QLatin1String("TELV"));
    QString tool;
    if (telvPath && kind == DeviceKind::TelvBootLoader)
        tool = QStringLiteral("telvtool");
    else if (!telvPath && kind == DeviceKind::K2tBootLoader)
        tool = QStringLiteral("eeprom");
    else
        return {};
    tool += exeSuffix;
    return QFileInfo(m_applicationDir + QLatin1Char('/') + tool).isExecutable() ? QString() : tool;
}

void MainWindow::restartScreen()
{
    if (screenVendorId == 0x1F3A && screenProductId == 0xEFE8) {
        // A TELV screen in its boot loader restarts through the tool.
        QProcess tool;
        tool.start(m_applicationDir + QStringLiteral("/telvtool") + exeSuffix, {QStringLiteral("reset")});
        tool.waitForFinished(1000);
        return;
    }
    if (screenHandle) {
        requestReboot(screenHandle->handle());
        m_restartBus = m_openBus;
        m_restartAddress = m_openAddress;
        m_restartSince.start();
    }
    handOverScreen();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // An upgrade cut off midway can leave a screen that no longer starts.
    if (upgradeThread.isRunning()) {
        event->ignore();
        if (!m_closeAfterUpgrade)
            dialogs::information(this, tr("Notify"),
                                 tr("The firmware upgrade is still running. The window closes when it has finished."));
        m_closeAfterUpgrade = true;
        return;
    }
    QMainWindow::closeEvent(event);
}
