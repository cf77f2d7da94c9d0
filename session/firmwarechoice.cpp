#include "firmwarechoice.h"

#include "modeltable.h"
#include "splice.h"

#include <QFile>

#include <algorithm>
#include <vector>

namespace session {

using namespace screenlink;

QString defaultFirmwarePath(const QString &programDir, const QString &modelFirmwareName)
{
    return programDir + QStringLiteral("/../firmware/") + modelFirmwareName;
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

fwimage::FirmwareFamily firmwareFamily(DeviceKind kind, const QString &identification)
{
    const bool telv = kind == DeviceKind::TelvBootLoader
                      || (kind == DeviceKind::RunningScreen && identification.contains(QLatin1String("TELV")));
    return telv ? fwimage::FirmwareFamily::Telv : fwimage::FirmwareFamily::K2t;
}

FirmwareFile readFirmwareFile(const QString &path, fwimage::FirmwareFamily family)
{
    FirmwareFile result;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return result;
    result.opened = true;
    // A longer image is cut at its buffer anyway.
    result.content = file.read(qint64(fwimage::ImageBufferSize));
    const QByteArray utf8 = path.toUtf8();
    result.verdict = fwimage::checkFirmwareFile(
        family, std::string_view(utf8.constData(), size_t(utf8.size())), uint64_t(file.size()),
        fwimage::ByteView(reinterpret_cast<const uint8_t *>(result.content.constData()), size_t(result.content.size())));
    return result;
}

QString requiredTool(const QString &path, UsbId id)
{
    // The path picks the sequence, the screen's state its way of writing.
    const bool telvPath = path.contains(QLatin1String("TELV"));
    const DeviceKind kind = deviceKind(id);
    if (telvPath && kind == DeviceKind::TelvBootLoader)
        return QStringLiteral("telvtool");
    if (!telvPath && kind == DeviceKind::K2tBootLoader)
        return QStringLiteral("eeprom");
    return {};
}

} // namespace session
