#include "mainwindow.h"

#include "ui_mainwindow.h"

#include "dialogs.h"
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
    const QString path = dialogs::getOpenFileName(nullptr, QString(), QString(), QString());
    if (path.isEmpty())
        return;
    if (!path.endsWith(QLatin1String(".bin"))) {
        report(tr("Firmware must be a bin file."));
        return;
    }
    // Judged by the low 32 bits of the size, as this check always has been.
    if (quint32(QFileInfo(path).size()) < fwimage::BootRegionSize) {
        report(tr("Customized firmware size should be >= 24KB."));
        return;
    }
    const std::optional<QByteArray> image = readChosen(path);
    if (!image)
        return;
    const std::optional<quint32> position = checkImage(*image, path, 3);
    if (!position)
        return;
    m_customImage = *image;
    m_customLogoPosition = *position;
    m_customPath = path;
    m_ui->pbCustomize->setText(path);
}

void MainWindow::onOfficial()
{
    const QString path = dialogs::getOpenFileName(nullptr, QString(), QString(), QString());
    if (path.isEmpty())
        return;
    if (!path.contains(QLatin1String("TELV"))) {
        report(tr("File name must have TELV."));
        return;
    }
    if (!path.endsWith(QLatin1String(".bin"))) {
        report(tr("Firmware must be a bin file."));
        return;
    }
    if (QFileInfo(path).size() != qint64(fwimage::BootRegionSize)) {
        report(tr("Official firmware size should be 24KB."));
        return;
    }
    const std::optional<QByteArray> image = readChosen(path);
    if (!image)
        return;
    const std::optional<quint32> position = checkImage(*image, path, 2);
    if (!position)
        return;
    // The merged image keeps this header, so its checksum range must fit.
    if (const auto region = fwimage::bootRegion(bytes(*image)); !region) {
        report(faultText(region.fault, path));
        return;
    }
    m_officialImage = *image;
    m_officialLogoPosition = *position;
    m_officialPath = path;
    m_ui->pbOfficial->setText(path);
}

void MainWindow::onGenerate()
{
    // Nothing is written until both choices have passed their checks.
    if (m_customImage.isEmpty()) {
        report(tr("Select the customized firmware first."));
        return;
    }
    if (m_officialImage.isEmpty()) {
        report(tr("Select the official firmware first."));
        return;
    }
    const fwimage::MergeResult merged = fwimage::mergeLogo(bytes(m_officialImage), m_officialLogoPosition,
                                                           bytes(m_customImage), m_customLogoPosition);
    if (!merged) {
        report(faultText(merged.fault,
                         merged.culprit == fwimage::MergeInput::Customised ? m_customPath : m_officialPath));
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

std::optional<quint32> MainWindow::checkImage(const QByteArray &image, const QString &path, std::size_t blocks)
{
    const fwimage::Result<std::uint32_t> header = fwimage::checkTelvImage(bytes(image));
    if (!header) {
        report(faultText(header.fault, path));
        return std::nullopt;
    }
    const auto chain = fwimage::logoBlocks(bytes(image), header.value, blocks);
    if (!chain) {
        report(faultText(chain.fault, path));
        return std::nullopt;
    }
    return header.value;
}

QString MainWindow::faultText(fwimage::Fault fault, const QString &path) const
{
    const QString name = QDir::toNativeSeparators(path);
    switch (fault) {
    case fwimage::Fault::ShortImage:
    case fwimage::Fault::NotBootImage:
        return tr("This is not a valid TELV firmware.");
    case fwimage::Fault::LogoAtZero:
        return tr("This firmware has invalid data.");
    case fwimage::Fault::LogoOutside:
        return tr("The logo area of %1 lies outside the file.").arg(name);
    case fwimage::Fault::BlockOutside:
        return tr("The logo block lengths of %1 lead outside the file.").arg(name);
    case fwimage::Fault::BootLengthOutside:
        return tr("The boot length of %1 runs past the end of the file.").arg(name);
    default:
        return tr("%1 cannot be used: %2.").arg(name, QString::fromLatin1(fwimage::describe(fault)));
    }
}

void MainWindow::report(const QString &text)
{
    dialogs::information(this, tr("Error"), text);
}
