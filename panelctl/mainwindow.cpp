#include "mainwindow.h"

#include "dialogs.h"
#include "platform.h"
#include "preview.h"
#include "ui_mainwindow.h"
#include "upgrade.h"
#include "upgradedialogue.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QSignalBlocker>
#include <QFileInfo>
#include <QTimer>

using session::Selection;

namespace {

constexpr int kScanPeriodMs = 3000;
constexpr int kFirstFrameDelayMs = 1000;

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(std::make_unique<Ui::MainWindow>()),
      m_exeSuffix(QString::fromStdString(platform::exeSuffix()))
{
    ui->setupUi(this);
    // The window is as large as its controls and the preview, which shows
    // the panel's picture pixel for pixel; it follows the preview.
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    // The bar comes and goes with an upgrade; the form must not move then.
    QSizePolicy barPolicy = ui->pgUpgrade->sizePolicy();
    barPolicy.setRetainSizeWhenHidden(true);
    ui->pgUpgrade->setSizePolicy(barPolicy);
    ui->pbLog->setToolTip(tr("Save the screen's log to screen.txt."));
    showBacklight(ui->barBacklight->value());
    ui->pbVFlip->setEnabled(false);
    ui->pbHFlip->setEnabled(false);
    ui->pbLog->hide();
    m_upgrade = std::make_unique<UpgradeDialogue>(this, m_session, ui->pgUpgrade);
    setProgramDir(QCoreApplication::applicationDirPath());

    connect(ui->barBacklight, &QSlider::valueChanged, this, &MainWindow::onBacklight);
    connect(ui->barBacklight, &QSlider::valueChanged, this, &MainWindow::showBacklight);
    connect(ui->pbClean, &QPushButton::clicked, ui->mainDisplay, &Preview::onClean);
    connect(ui->pbUpgrade, &QPushButton::clicked, this, &MainWindow::onUpgrade);
    connect(&m_session, &session::ScreenSession::touched, ui->mainDisplay, &Preview::addTouch);
    connect(&m_session, &session::ScreenSession::pictureShown, this, &MainWindow::showPicture);
    connect(m_upgrade.get(), &UpgradeDialogue::finished, this, &MainWindow::onUpgradeShown);
    connect(m_upgrade.get(), &UpgradeDialogue::notice, ui->statusBar, [this](const QString &text) {
        ui->statusBar->showMessage(text);
    });
    const std::pair<QPushButton *, Qt::GlobalColor> colours[] = {{ui->pbRed, Qt::red},
                                                                 {ui->pbGreen, Qt::green},
                                                                 {ui->pbBlue, Qt::blue},
                                                                 {ui->pbBlack, Qt::black},
                                                                 {ui->pbWhite, Qt::white}};
    for (const auto &[button, colour] : colours)
        connect(button, &QPushButton::clicked, this, [this, c = colour] { onColorChanged(c); });
    connect(ui->pbLEDTest, &QPushButton::clicked, this, &MainWindow::onLEDTest);
    connect(ui->pbTest, &QPushButton::clicked, this, &MainWindow::onTest);
    ui->pbTest->hide();
    connect(ui->pbVFlip, &QPushButton::toggled, this, &MainWindow::onUpdateFlip);
    connect(ui->pbHFlip, &QPushButton::toggled, this, &MainWindow::onUpdateFlip);
    connect(ui->pbMonitor, &QPushButton::toggled, this, &MainWindow::onMonitorMode);
    connect(ui->pbLog, &QPushButton::clicked, this, &MainWindow::onLog);
    connect(ui->mbScreenList, &QComboBox::currentIndexChanged, this, &MainWindow::onSelectScreen);
    connect(&m_session, &session::ScreenSession::screensChanged, this, &MainWindow::showList);
    connect(&m_session, &session::ScreenSession::selected, this, &MainWindow::showSelection);
    connect(&m_session, &session::ScreenSession::logFinished, this, &MainWindow::showLogOutcome);
    connect(&m_session, &session::ScreenSession::screenClosed, this, &MainWindow::showScreenClosed);
    connect(&m_session, &session::ScreenSession::ledTestEnded, this, [this](const QString &failure) {
        ui->pbLEDTest->setChecked(false);
        showTestFailure(failure);
    });
    connect(&m_session, &session::ScreenSession::throughputTestEnded, this, &MainWindow::showTestFailure);
    ui->pgUpgrade->hide();

    ui->statusBar->showMessage(tr("No Device."));
    QTimer::singleShot(0, this, &MainWindow::onScanUSB);
}

MainWindow::~MainWindow()
{
    // Selection signals must not reach a half-destroyed window.
    ui->mbScreenList->disconnect(this);
}

void MainWindow::setProgramDir(const QString &dir)
{
    m_programDir = dir;
    m_upgrade->setProgramDir(dir, m_exeSuffix);
    // A file: a folder of that name beside the program is no driver.
    ui->pbMonitor->setVisible(QFileInfo(dir + QStringLiteral("/telvdrv") + m_exeSuffix).isFile());
}

void MainWindow::onScanUSB()
{
    m_session.scan();
    QTimer::singleShot(kScanPeriodMs, this, &MainWindow::onScanUSB);
}

void MainWindow::showList()
{
    const QSignalBlocker blocker(ui->mbScreenList);
    ui->mbScreenList->clear();
    ui->mbScreenList->addItems(m_session.list().texts());
    ui->mbScreenList->setCurrentIndex(m_session.list().current());
}

void MainWindow::onSelectScreen(int index)
{
    m_session.choose(index);
}

void MainWindow::showScreenClosed()
{
    // The jobs on the screen let go ended with it.
    const QSignalBlocker blocker(ui->pbMonitor);
    ui->pbMonitor->setChecked(false);
    ui->pbLEDTest->setChecked(false);
}

void MainWindow::showSelection(Selection selection)
{
    const session::ScreenInfo &opened = m_session.opened();
    switch (selection) {
    case Selection::NoDevice:
        ui->statusBar->showMessage(tr("No device."));
        setWindowTitle(tr("Tavrik Screen Test") + tr(" - v55n"));
        setLamp(false);
        ui->mainDisplay->setText(tr("Drag and Drop Picture Here"));
        ui->mainDisplay->onClean();
        return;
    case Selection::FoundNotOpened:
        setLamp(true);
        return;
    case Selection::InUse:
        setLamp(true);
        ui->statusBar->showMessage(tr("This screen is in use by another program."));
        return;
    case Selection::ShownByService:
        setLamp(true);
        ui->statusBar->showMessage(
            tr("This screen shows the desktop by itself; choose it in the list to use it here until you choose another."));
        return;
    case Selection::BootLoader:
        setLamp(true);
        ui->statusBar->showMessage(opened.kind == screenlink::DeviceKind::TelvBootLoader
                                       ? tr("Connected, click \"Upgrade\" to write TELV firmware.")
                                       : tr("Connected, click \"Upgrade\" to write K2T/K5TX firmware."));
        return;
    case Selection::Running:
        break;
    }
    setLamp(true);
    ui->statusBar->showMessage(opened.identification + QStringLiteral(", ") + opened.deviceId);
    ui->pbLog->setVisible(opened.debugFirmware());
    setWindowTitle(QStringLiteral("ID: ") + opened.deviceId);
    ui->mainDisplay->setFixedSize(m_session.pictureSize());
    // The picture stays when another screen is chosen, but the flips are
    // the new panel's: one that cannot flip gets none.
    if (!m_session.currentPicture().isNull() && ui->pbVFlip->isEnabled() != (m_session.geometry().flipAllowed != 0))
        resetFlips();
    QTimer::singleShot(kFirstFrameDelayMs, this, &MainWindow::onUpdateFrame);
}

void MainWindow::showTestFailure(const QString &failure)
{
    if (!failure.isEmpty())
        dialogs::warning(this, tr("Error"), tr("The test did not run to its end: %1.").arg(failure));
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

bool MainWindow::requireScreen()
{
    if (m_session.upgradeRunning()) {
        dialogs::warning(this, tr("Error"), tr("A firmware upgrade is running."));
        return false;
    }
    if (m_session.hasScreen())
        return true;
    dialogs::warning(this, tr("Error"), tr("No screen connected."));
    return false;
}

void MainWindow::updateFrame(const QPixmap &picture)
{
    m_session.showPicture(picture.toImage());
}

void MainWindow::showPicture(const QImage &picture)
{
    ui->mainDisplay->setPixmap(QPixmap::fromImage(picture));
}

void MainWindow::onUpdateFrame()
{
    // The first logo comes a second after a screen is opened; once the
    // desktop is shown it would stay over it until the desktop changed.
    if (m_session.monitorRunning())
        return;
    if (m_session.currentPicture().isNull())
        resetFlips(); // the logo, the panel's own way up
    m_session.showCurrent();
}

void MainWindow::resetFlips()
{
    const screenlink::ScreenGeometry &g = m_session.geometry();
    ui->pbVFlip->setEnabled(g.flipAllowed != 0);
    ui->pbHFlip->setEnabled(g.flipAllowed != 0);
    {
        // The flip goes out with the next picture, not as a second frame.
        const QSignalBlocker v(ui->pbVFlip);
        const QSignalBlocker h(ui->pbHFlip);
        ui->pbVFlip->setChecked(g.flipDefault & 1);
        ui->pbHFlip->setChecked(g.flipDefault & 2);
    }
    updateFlip();
}

void MainWindow::updateFlip()
{
    if (ui->pbVFlip->isEnabled() && ui->pbHFlip->isEnabled())
        m_session.sendFlip((ui->pbVFlip->isChecked() ? 1 : 0) + (ui->pbHFlip->isChecked() ? 2 : 0));
}

void MainWindow::onUpdateFlip()
{
    updateFlip();
    QTimer::singleShot(0, this, &MainWindow::onUpdateFrame);
}

void MainWindow::onBacklight(int level)
{
    m_session.sendBacklight(level);
}

void MainWindow::showBacklight(int level)
{
    // tavrikctl's percentages: 100 % is level 255.
    ui->lbBacklight->setText(tr("%1 %").arg(qRound(level * 100.0 / 255.0)));
}

void MainWindow::onColorChanged(const QColor &colour)
{
    m_session.fill(colour);
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
        m_session.stopMonitor();
        return;
    }
    if (m_session.upgradeRunning()) {
        dialogs::warning(this, tr("Error"), tr("A firmware upgrade is running."));
        const QSignalBlocker blocker(ui->pbMonitor);
        ui->pbMonitor->setChecked(false);
        return;
    }
    dialogs::information(this, tr("Notify"),
                         tr("In panelctl, monitor mode only applies to the first screen. If you specify a screen ID, "
                            "please use spanmon%1 and run it as an administrator.")
                             .arg(m_exeSuffix));
    // The box may have been open for a while: the user may have unchecked
    // the button or picked another screen meanwhile.
    if (ui->pbMonitor->isChecked())
        m_session.startMonitor(m_programDir + QStringLiteral("/telvdrv") + m_exeSuffix);
}

void MainWindow::onLEDTest()
{
    if (!ui->pbLEDTest->isChecked()) {
        m_session.stopLedTest();
        return;
    }
    if (!requireScreen() || !m_session.startLedTest())
        ui->pbLEDTest->setChecked(false);
}

void MainWindow::onTest()
{
    if (requireScreen())
        m_session.startThroughputTest();
}

void MainWindow::onLog()
{
    if (!requireScreen())
        return;
    ui->pbLog->setEnabled(false);
    if (!m_session.readLog(QStringLiteral("screen.txt")))
        ui->pbLog->setEnabled(true);
}

void MainWindow::showLogOutcome(session::LogOutcome outcome)
{
    switch (outcome) {
    case session::LogOutcome::Saved:
        dialogs::information(this, tr("Notify"), tr("Log file has saved to screen.txt"));
        break;
    case session::LogOutcome::SaveFailed:
        dialogs::information(this, tr("Notify"), tr("Log file could not be saved to screen.txt"));
        break;
    case session::LogOutcome::ReadFailed:
        dialogs::warning(this, tr("Error"), tr("The log could not be read from the screen."));
        break;
    }
    ui->pbLog->setEnabled(true);
}

void MainWindow::onUpgrade()
{
    m_upgrade->start();
}

void MainWindow::onUpgradeShown()
{
    if (m_closeAfterUpgrade)
        QTimer::singleShot(0, this, &QWidget::close);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // An upgrade cut off midway can leave a screen that no longer starts.
    if (m_session.upgradeRunning()) {
        event->ignore();
        if (!m_closeAfterUpgrade)
            dialogs::information(this, tr("Notify"),
                                 tr("The firmware upgrade is still running. The window closes when it has finished."));
        m_closeAfterUpgrade = true;
        return;
    }
    QMainWindow::closeEvent(event);
}
