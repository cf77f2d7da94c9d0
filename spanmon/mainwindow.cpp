#include "mainwindow.h"

#include "dialogs.h"
#include "platform.h"
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
    QTimer::singleShot(0, this, &MainWindow::onRefresh);
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
}

void MainWindow::onMonitor()
{
    switch (m_state) {
    case State::Monitoring:
        showIdle();
        m_chooser.stop();
        return;
    case State::Starting:
        return; // the chosen screen is still being opened
    case State::Idle:
        break;
    }
    const QString wanted = m_ui->cbList->currentText();
    if (wanted.isEmpty()) {
        dialogs::information(this, tr("Error"), tr("No valid screen."));
        return;
    }
    const auto *model = qobject_cast<QStandardItemModel *>(m_ui->cbList->model());
    if (model && !model->item(m_ui->cbList->currentIndex())->isEnabled()) {
        dialogs::information(this, tr("Error"), tr("This screen is in use by another program."));
        return;
    }
    m_state = State::Starting;
    m_chooser.start(wanted, m_programDir + QStringLiteral("/telvdrv") + m_exeSuffix);
}

void MainWindow::showChosen(ChooseOutcome outcome)
{
    switch (outcome) {
    case ChooseOutcome::NotConnected:
        m_state = State::Idle;
        dialogs::information(this, tr("Error"), tr("Screen is not connected."));
        return;
    case ChooseOutcome::NoUsableSize:
        m_state = State::Idle;
        dialogs::information(this, tr("Error"), tr("The screen did not report a usable size."));
        return;
    case ChooseOutcome::Started:
        break;
    }
    m_state = State::Monitoring;
    m_ui->pbRefresh->setEnabled(false);
    m_ui->pbDo->setText(tr("Stop"));
}

void MainWindow::showIdle()
{
    m_state = State::Idle;
    m_ui->pbRefresh->setEnabled(true);
    m_ui->pbDo->setText(tr("Start"));
}
