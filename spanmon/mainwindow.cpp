#include "mainwindow.h"

#include "dialogs.h"
#include "platform.h"
#include "remembered.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QStandardItemModel>
#include <QTimer>

using session::ChooseOutcome;

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), m_ui(std::make_unique<Ui::MainWindow>())
{
    m_ui->setupUi(this);
    connect(m_ui->pbRefresh, &QPushButton::clicked, this, &MainWindow::onRefresh);
    connect(m_ui->pbDo, &QPushButton::clicked, this, &MainWindow::onMonitor);
    connect(&m_chooser, &session::ScreenChooser::listed, this, &MainWindow::showScreens);
    connect(&m_chooser, &session::ScreenChooser::chosen, this, &MainWindow::showChosen);
    connect(m_ui->cbList, &QComboBox::currentIndexChanged, this, &MainWindow::showChoices);
    connect(m_ui->cbList, &QComboBox::currentIndexChanged, this, &MainWindow::showState);
    connect(m_ui->cbAuto, &QCheckBox::toggled, this, &MainWindow::onAutoToggled);
    connect(m_ui->cbMode, &QComboBox::activated, this, &MainWindow::onModeChosen);
    connect(m_ui->pbStopService, &QPushButton::clicked, this, &MainWindow::onStopService);
    connect(&m_service, &session::monitorservice::Watch::changed, this, &MainWindow::showRemembered);
    QTimer::singleShot(0, this, &MainWindow::onRefresh);
    showRemembered();
    showState();
    m_exeSuffix = QString::fromStdString(platform::exeSuffix());
    m_programDir = QCoreApplication::applicationDirPath();
}

MainWindow::~MainWindow() = default;

void MainWindow::onRefresh()
{
    m_chooser.refresh();
}

void MainWindow::showScreens(const QStringList &ids, const QStringList &inUsePorts)
{
    m_ui->cbList->clear();
    m_ui->cbList->addItems(ids);
    // Shown, so the user knows why a screen is missing, but not to be chosen.
    auto *model = qobject_cast<QStandardItemModel *>(m_ui->cbList->model());
    for (const QString &port : inUsePorts) {
        m_ui->cbList->addItem(tr("%1: in use by another program").arg(port));
        if (model)
            model->item(m_ui->cbList->count() - 1)->setEnabled(false);
    }
    showState();
}

void MainWindow::onMonitor()
{
    const QString wanted = m_ui->cbList->currentText();
    if (m_chooser.showing(wanted)) {
        m_chooser.stop(wanted);
        showState();
        return;
    }
    if (m_chooser.starting(wanted))
        return; // the chosen screen is still being opened
    if (wanted.isEmpty()) {
        dialogs::information(this, tr("Error"), tr("No valid screen."));
        return;
    }
    const auto *model = qobject_cast<QStandardItemModel *>(m_ui->cbList->model());
    if (model && !model->item(m_ui->cbList->currentIndex())->isEnabled()) {
        dialogs::information(this, tr("Error"), tr("This screen is in use by another program."));
        return;
    }
    const session::ShowMode mode = m_ui->cbMode->currentIndex() == 1 ? session::ShowMode::Mirror : session::ShowMode::Extend;
    m_chooser.start(wanted, m_programDir + QStringLiteral("/telvdrv") + m_exeSuffix, session::modeKey(mode));
    showState();
}

void MainWindow::showChosen(const QString &, ChooseOutcome outcome)
{
    showState();
    switch (outcome) {
    case ChooseOutcome::NotConnected:
        dialogs::information(this, tr("Error"), tr("Screen is not connected."));
        return;
    case ChooseOutcome::NoUsableSize:
        dialogs::information(this, tr("Error"), tr("The screen did not report a usable size."));
        return;
    case ChooseOutcome::Started:
        break;
    }
}

void MainWindow::showState()
{
    const QString id = m_ui->cbList->currentText();
    m_ui->pbDo->setText(m_chooser.showing(id) ? tr("Stop") : tr("Start"));
    // A listing while a screen is being opened would find it half taken.
    m_ui->pbRefresh->setEnabled(!m_chooser.anyStarting());
    m_ui->lwShowing->clear();
    for (const auto &[shownId, port] : m_chooser.shownPorts())
        m_ui->lwShowing->addItem(tr("%1 at %2").arg(shownId, port));
    if (m_ui->lwShowing->count() == 0)
        m_ui->lwShowing->addItem(tr("None"));
}

namespace {

// The chosen entry's device ID; empty for none and for an entry in use.
QString chosenId(const QComboBox *list)
{
    const QString text = list->currentText();
    return session::isDeviceId(text) ? text.toLower() : QString();
}

} // namespace

void MainWindow::showChoices()
{
    const QString id = chosenId(m_ui->cbList);
    session::ShowMode mode = session::generalMode();
    bool remembered = false;
    for (const session::RememberedScreen &r : session::rememberedScreens()) {
        if (r.id == id) {
            mode = r.mode;
            remembered = true;
        }
    }
    const QSignalBlocker blockAuto(m_ui->cbAuto);
    const QSignalBlocker blockMode(m_ui->cbMode);
    m_ui->cbAuto->setEnabled(!id.isEmpty());
    m_ui->cbAuto->setChecked(remembered);
    m_ui->cbMode->setCurrentIndex(mode == session::ShowMode::Mirror ? 1 : 0);
}

void MainWindow::onAutoToggled(bool on)
{
    const QString id = chosenId(m_ui->cbList);
    if (id.isEmpty())
        return;
    const session::ShowMode mode = m_ui->cbMode->currentIndex() == 1 ? session::ShowMode::Mirror : session::ShowMode::Extend;
    QString why;
    if (!(on ? session::remember({id, mode}, &why) : session::forget(id, &why))) {
        dialogs::warning(this, tr("Warning"), tr("The choice could not be kept: %1").arg(why));
        showChoices();
        return;
    }
    session::monitorservice::reload(false);
    showRemembered();
}

void MainWindow::onModeChosen(int)
{
    // A remembered screen keeps the mode chosen for it.
    if (m_ui->cbAuto->isChecked())
        onAutoToggled(true);
}

void MainWindow::showRemembered()
{
    const std::optional<std::vector<session::AutoScreenState>> states = session::monitorservice::screens();
    m_ui->lwRemembered->clear();
    const std::vector<session::RememberedScreen> remembered = session::rememberedScreens();
    for (const session::RememberedScreen &r : remembered) {
        QString state = tr("the background service is not running");
        if (states) {
            for (const session::AutoScreenState &s : *states)
                if (s.id == r.id)
                    state = session::autoStateText(s.state);
        }
        const QString mode = r.mode == session::ShowMode::Mirror ? tr("mirror") : tr("extend");
        m_ui->lwRemembered->addItem(tr("%1 (%2): %3").arg(r.id, mode, state));
    }
    if (remembered.empty())
        m_ui->lwRemembered->addItem(tr("None yet: choose a screen above and tick the box."));
    m_ui->lbService->setText(states ? tr("Background service: running.")
                                    : tr("Background service: not running."));
    m_ui->pbStopService->setEnabled(states.has_value());
}

void MainWindow::onStopService()
{
    session::monitorservice::quit();
    showRemembered();
}
