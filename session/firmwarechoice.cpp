#include "firmwarechoice.h"

#include "modeltable.h"
#include "mergelogo.h"
#include "splice.h"
#include "upgrade.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>
#include <vector>

namespace session {

using namespace screenlink;

QString defaultFirmwarePath(const QString &programDir, const QString &modelFirmwareName)
{
    // Cleaned: the user reads it in the question, and "bin/.." says nothing.
    return QDir::cleanPath(programDir + QStringLiteral("/../firmware/") + modelFirmwareName);
}

QStringList firmwareFolders(const QString &programDir, const QString &chosen)
{
    QStringList folders;
    const auto add = [&folders](const QString &folder) {
        if (!folder.isEmpty() && !folders.contains(QDir::cleanPath(folder)))
            folders << QDir::cleanPath(folder);
    };
    add(chosen);
    add(qEnvironmentVariable("TAVRIK_FIRMWARE_DIR"));
    add(programDir + QStringLiteral("/../firmware"));
    for (const QString &data : QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation))
        add(data + QStringLiteral("/tavrik/firmware"));
    return folders;
}

QString findFirmware(const QStringList &folders, const QString &name)
{
    for (const QString &folder : folders) {
        const QString path = folder + QLatin1Char('/') + name;
        if (QFileInfo(path).isFile())
            return path;
    }
    return {};
}

QString missingFirmwareText(const QStringList &folders, const QString &name)
{
    QStringList paths;
    for (const QString &folder : folders)
        paths << QDir::toNativeSeparators(folder + QLatin1Char('/') + name);
    return QString::fromLatin1(fwimage::CannotOpenText.data()) + QStringLiteral(" Looked for ")
           + paths.join(QStringLiteral(", ")) + QLatin1Char('.');
}

bool offersModelFirmware(const QString &modelFirmwareName)
{
    return modelFirmwareName.contains(QLatin1String(".bin"));
}

QStringList riskTextLines()
{
    const auto listed = [](bool telv) {
        std::vector<const ModelRow *> rows;
        for (const ModelRow &row : modelTable())
            if (row.listing && row.telv == telv)
                rows.push_back(&row);
        std::sort(rows.begin(), rows.end(),
                  [](const ModelRow *a, const ModelRow *b) { return a->listingOrder < b->listingOrder; });
        QStringList lines;
        for (const ModelRow *row : rows) {
            const QString file = QString::fromLatin1(row->firmware).section(QLatin1Char('/'), -1);
            lines << QString::fromLatin1(row->listing) + QStringLiteral(": ") + file + QStringLiteral("\r\n");
        }
        return lines;
    };
    QStringList lines{QStringLiteral("You are trying to upgrade screen firmware!\r\n"),
                      QStringLiteral("Using wrong firmware will broke your screen!\r\n"),
                      QStringLiteral("The firmware path MUST NOT contain any spaces or special characters.\r\n\r\n"),
                      QStringLiteral("K2T/K5TX Screens:\r\n")};
    lines += listed(false);
    lines << QStringLiteral("TELV Screens: \r\n") << QStringLiteral("(TELV.TAVRIK is TAVRIK logo, NOLOGO is black)\r\n");
    lines += listed(true);
    lines.last() += QStringLiteral("\r\n");
    return lines;
}

FirmwareFile readFirmwareFile(const QString &path, fwimage::FirmwareFamily family)
{
    FirmwareFile result;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return result;
    result.opened = true;
    // Enough to check it: a longer TELV image is refused by its size.
    result.content = file.read(qint64(fwimage::ImageBufferSize));
    const QByteArray utf8 = path.toUtf8();
    result.verdict = fwimage::checkFirmwareFile(
        family, std::string_view(utf8.constData(), size_t(utf8.size())), uint64_t(file.size()),
        fwimage::ByteView(reinterpret_cast<const uint8_t *>(result.content.constData()), size_t(result.content.size())));
    return result;
}

QString modelName(const ModelRow &row)
{
    if (row.listing)
        return QString::fromLatin1(row.listing);
    // Unlisted models are told by their panel.
    return QStringLiteral("%1x%2 %3 panel").arg(row.width).arg(row.height).arg(row.telv ? QStringLiteral("TELV")
                                                                                         : QStringLiteral("K2T/K5TX"));
}

std::vector<const ModelRow *> modelsOfImage(const QByteArray &content, fwimage::FirmwareFamily family,
                                            const QStringList &folders)
{
    std::vector<const ModelRow *> rows;
    const auto bytes = [](const QByteArray &b) {
        return fwimage::ByteView(reinterpret_cast<const uint8_t *>(b.constData()), size_t(b.size()));
    };
    if (family == fwimage::FirmwareFamily::K2t) {
        // The panel codes sit where the screen's configuration keeps them.
        if (size_t(content.size()) != fwimage::EepromImageSize)
            return rows;
        const fwimage::ByteView image = bytes(content);
        const auto word = [&image](size_t at) {
            return uint32_t(image[at]) | uint32_t(image[at + 1]) << 8 | uint32_t(image[at + 2]) << 16
                   | uint32_t(image[at + 3]) << 24;
        };
        if (const ModelRow *row = findModel(word(0x1FFC), int32_t(word(0x1FF8))); row && !row->telv)
            rows.push_back(row);
        return rows;
    }
    const auto print = fwimage::modelPrint(bytes(content));
    if (!print)
        return rows;
    for (const ModelRow &row : modelTable()) {
        if (!row.telv || !row.firmware)
            continue;
        const QString official = findFirmware(folders, QString::fromLatin1(row.firmware));
        QFile file(official);
        if (official.isEmpty() || !file.open(QIODevice::ReadOnly))
            continue;
        const QByteArray officialBytes = file.read(qint64(fwimage::ImageBufferSize));
        const auto officialPrint = fwimage::modelPrint(bytes(officialBytes));
        if (officialPrint && officialPrint.value == print.value)
            rows.push_back(&row);
    }
    return rows;
}

QString requiredTool(UpgradePath path)
{
    switch (path) {
    case UpgradePath::TelvBootLoader: return QStringLiteral("telvtool");
    case UpgradePath::EepromBootLoader: return QStringLiteral("eeprom");
    case UpgradePath::TelvRunning:
    case UpgradePath::EepromRunning: break;
    }
    return {};
}

QString modelFirmwarePath(const QString &programDir, const ScreenInfo &screen)
{
    const QString name = screen.geometry.modelFirmwareName;
    return screen.identified() && offersModelFirmware(name) ? defaultFirmwarePath(programDir, name) : QString();
}

UpgradeCheck checkUpgrade(const ScreenInfo &screen, const QString &path, const UpgradeCheckOptions &options)
{
    UpgradeCheck check;
    check.path = upgradePath(fwimage::fileFamily(path.toStdString()), screen.kind);
    using Problem = UpgradeCheck::Problem;
    const auto refuse = [&check](Problem problem, const QString &why) {
        check.problem = problem;
        check.refusal = why;
        return check;
    };
    if (screen.access == Access::InUse)
        return refuse(Problem::Screen, QStringLiteral("is in use by another program"));
    if (screen.running() && !screen.identified())
        return refuse(Problem::Screen, QStringLiteral("cannot be opened (no access to it)"));
    if (const QString rivals = bootLoaderRivals(screen, options.attached); !rivals.isEmpty())
        return refuse(Problem::Screen, rivals);
    check.file = readFirmwareFile(path, screen.family());
    if (!check.file.opened)
        return refuse(Problem::File, QStringLiteral("%1 (%2)").arg(QString::fromLatin1(fwimage::CannotOpenText.data()),
                                                                  QDir::toNativeSeparators(path)));
    if (!check.file.ok())
        return refuse(Problem::File, QString::fromLatin1(fwimage::verdictText(check.file.verdict).data()));
    // Another model's image passes the family's checks and still does not
    // fit this panel. What the image holds decides; its name only where
    // that tells nothing.
    const ModelRow *own = screen.identified() ? screen.geometry.model : nullptr;
    const QString ownFile = own && offersModelFirmware(screen.geometry.modelFirmwareName)
                                ? screen.geometry.modelFirmwareName.section(QLatin1Char('/'), -1)
                                : QString();
    if (!options.anyModel && own) {
        const auto fits = [&](const ModelRow *row) {
            return row == own || (row->firmware && QString::fromLatin1(row->firmware) == screen.geometry.modelFirmwareName);
        };
        const std::vector<const ModelRow *> told = modelsOfImage(check.file.content, screen.family(), options.firmwareFolders);
        const QString fileName = QFileInfo(path).fileName();
        if (!told.empty() && std::none_of(told.begin(), told.end(), fits)) {
            check.screenModel = modelName(*own);
            check.fileModel = modelName(*told.front());
            return refuse(Problem::OtherModel, QStringLiteral("%1 is made for the %2, and this screen is a %3")
                                                   .arg(fileName, check.fileModel, check.screenModel));
        }
        if (told.empty() && !ownFile.isEmpty() && fileName != ownFile) {
            check.screenModel = modelName(*own);
            check.fileModel = fileName;
            return refuse(Problem::OtherModel,
                          QStringLiteral("its model takes %1, not %2, and nothing in %2 tells which model it is for")
                              .arg(ownFile, fileName));
        }
    }
    const QString tool = requiredTool(check.path);
    if (!tool.isEmpty() && !QFileInfo(options.toolDir + QLatin1Char('/') + tool + options.exeSuffix).isExecutable())
        return refuse(Problem::Tool,
                      QStringLiteral("The boot-loader tool %1 is missing. Put the screen maker's %1 into %2 and try "
                                     "again.")
                          .arg(tool + options.exeSuffix, QDir::toNativeSeparators(options.toolDir)));
    check.tool = tool;
    return check;
}

} // namespace session
