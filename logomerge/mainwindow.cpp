#include "mainwindow.h"

#include "ui_mainwindow.h"

#include "dialogs.h"
#include "logoinput.h"
#include "mergelogo.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

const QString OutputName = QStringLiteral("TELV.output.bin");

fwimage::ByteView bytes(const QByteArray &array)
{
    return {reinterpret_cast<const std::uint8_t *>(array.constData()), std::size_t(array.size())};
}

} // namespace

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), m_ui(std::make_unique<Ui::MainWindow>())
{
    m_ui->setupUi(this);
    connect(m_ui->pbCustomize, &QPushButton::clicked, this, &MainWindow::onCustomize);
    connect(m_ui->pbOfficial, &QPushButton::clicked, this, &MainWindow::onOfficial);
    connect(m_ui->pbGenerate, &QPushButton::clicked, this, &MainWindow::onGenerate);
}

MainWindow::~MainWindow() = default;

void MainWindow::onCustomize()
{
    if (std::optional<Chosen> chosen = choose(fwimage::LogoInput::Customised)) {
        m_custom = std::move(*chosen);
        m_ui->pbCustomize->setText(m_custom.path);
    }
}

void MainWindow::onOfficial()
{
    if (std::optional<Chosen> chosen = choose(fwimage::LogoInput::Official)) {
        m_official = std::move(*chosen);
        m_ui->pbOfficial->setText(m_official.path);
    }
}

void MainWindow::onGenerate()
{
    // Nothing is written until both choices have passed their checks.
    if (m_custom.image.isEmpty()) {
        report(tr("Select the customized firmware first."));
        return;
    }
    if (m_official.image.isEmpty()) {
        report(tr("Select the official firmware first."));
        return;
    }
    const fwimage::MergeResult merged = fwimage::mergeLogo(bytes(m_official.image), m_official.logoPosition,
                                                           bytes(m_custom.image), m_custom.logoPosition);
    if (!merged) {
        report(fwimage::LogoVerdict{fwimage::LogoRule::BadImage, merged.fault},
               merged.culprit == fwimage::MergeInput::Customised ? m_custom.path : m_official.path);
        return;
    }

    // Written beside the final name and renamed over it, so a failed write
    // leaves neither a half-written file nor a damaged older one.
    QSaveFile out(OutputName);
    const qint64 size = qint64(merged.image.size());
    if (!out.open(QIODevice::WriteOnly)
        || out.write(reinterpret_cast<const char *>(merged.image.data()), size) != size || !out.commit()) {
        report(tr("Cannot write %1: %2").arg(OutputName, out.errorString()));
        return;
    }
    dialogs::information(this, tr("Notify"), tr("New firmware saved to TELV.output.bin"));
}

std::optional<MainWindow::Chosen> MainWindow::choose(fwimage::LogoInput input)
{
    const QString path = dialogs::getOpenFileName(nullptr, QString(), QString(), QString());
    if (path.isEmpty())
        return std::nullopt;
    const fwimage::LogoVerdict byName =
        fwimage::checkLogoFile(input, path.toStdString(), std::uint64_t(QFileInfo(path).size()));
    if (!byName) {
        report(byName, path);
        return std::nullopt;
    }
    std::optional<QByteArray> image = readChosen(path);
    if (!image)
        return std::nullopt;
    const fwimage::LogoVerdict content = fwimage::checkLogoImage(input, bytes(*image));
    if (!content) {
        report(content, path);
        return std::nullopt;
    }
    return Chosen{std::move(*image), content.logoPosition, path};
}

std::optional<QByteArray> MainWindow::readChosen(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        report(tr("Cannot read %1: %2").arg(QDir::toNativeSeparators(path), file.errorString()));
        return std::nullopt;
    }
    QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        report(tr("Cannot read %1: %2").arg(QDir::toNativeSeparators(path), file.errorString()));
        return std::nullopt;
    }
    return content;
}

void MainWindow::report(const fwimage::LogoVerdict &verdict, const QString &path)
{
    report(tr(fwimage::logoVerdictText(verdict, QDir::toNativeSeparators(path).toStdString()).c_str()));
}

void MainWindow::report(const QString &text)
{
    dialogs::information(this, tr("Error"), text);
}
