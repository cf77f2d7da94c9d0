// The identification a running screen gives: its size and variant codes and
// its identification text, through the model table into the geometry (the
// model's row and what is read from it) and the texts panelctl shows (list
// name, firmware minor).
//
// Input: the size code and the variant code (little-endian words), then
// the identification string's bytes as the screen sends them.
#include "devicelist.h"
#include "fuzzcheck.h"
#include "identify.h"
#include "modeltable.h"
#include "requests.h"

#include <QByteArray>

using namespace screenlink;
using fuzzcheck::require;

namespace {

void checkListedName(const QString &identification)
{
    const QString name = listedName(identification);
    require(name == name.trimmed());
    require(!name.contains(QLatin1Char(',')));
}

void checkMinor(const QString &identification)
{
    const std::optional<int> minor = firmwareMinor(identification);
    require(minor.has_value() == identification.contains(QLatin1String("v0.")));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzzcheck::Reader in(data, size);
    const std::uint32_t sizeCode = in.next();
    const std::int32_t variantCode = std::int32_t(in.next());
    // The screen fills kIdentLength bytes; the text ends at the first zero.
    const char *chars = reinterpret_cast<const char *>(in.data());
    const QString ident = QString::fromUtf8(chars, qsizetype(qstrnlen(chars, uint(std::min<std::size_t>(in.size(), kIdentLength)))));

    ScreenGeometry geometry;
    const QString identification = applyModelTable(geometry, sizeCode, variantCode, ident);
    require(geometry.sizeCode == sizeCode && geometry.variantCode == variantCode);
    require(geometry.panelWidth > 0 && geometry.panelHeight > 0);
    require(geometry.rotationCode >= 0 && geometry.rotationCode <= 2);
    require(!geometry.pictureSize().isEmpty());
    require(geometry.telvFamily || geometry.flipAllowed == 0);
    require(!logoResource(geometry.logo()).isEmpty());
    // Portrait panels are turned a quarter, all others mirrored or turned half.
    const ScanOrder order = geometry.scanOrder();
    const bool quarter = order == ScanOrder::QuarterTurn || order == ScanOrder::QuarterTurnBack;
    require(quarter == (geometry.rotationCode == 2));
    require(geometry.leadBytes() >= 0 && geometry.leadBytes() % 2 == 0);
    if (geometry.model) {
        require(geometry.model == findModel(sizeCode, variantCode));
        require(geometry.model->sizeCode == sizeCode);
        require(geometry.panelWidth == geometry.model->width && geometry.panelHeight == geometry.model->height);
        require(order == geometry.model->scanOrder && geometry.leadBytes() == geometry.model->leadBytes);
    } else {
        require(identification == kUnknownModelText && geometry.leadBytes() == 0);
    }
    if (geometry.telvFamily)
        require(identification.startsWith(QLatin1String("TELV ")) && identification.contains(ident));

    checkListedName(identification);
    checkListedName(ident);
    checkMinor(identification);
    checkMinor(ident);
    return 0;
}
