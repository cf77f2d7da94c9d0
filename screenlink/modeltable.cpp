#include "modeltable.h"

#include <array>

namespace screenlink {

namespace {

enum class Variant { Exact, Any, Other };
enum class Text { Fixed, Telv, Unknown };

struct ModelRow {
    uint32_t sizeCode;
    Variant match;
    int32_t variant;
    int width;
    int height;
    int rotation;
    bool telv;
    int flipAllowed;
    int flipDefault;
    const char *firmware; // nullptr: the previous model's name stays
    Text text;
    const char *words; // the fixed text, or the TELV suffix
};

constexpr auto E = Variant::Exact;
constexpr auto O = Variant::Other;
constexpr auto A = Variant::Any;

// One row per panel; rows of a size code are tried in order, "other" last.
constexpr std::array<ModelRow, 22> kModels = {{
    {4, E, 2, 480, 800, 2, false, 0, 0, "K2T-K5TX/4NDNK2T.bin", Text::Fixed, "4inch, 480x800x16, TAVRIK-4NDNK2T"},
    {4, E, 7, 480, 800, 2, true, 3, 0, "TELV/TELV.4d0.TAVRIK.bin", Text::Telv, ",4.0IN"},
    {4, E, 12, 480, 480, 2, true, 0, 0, "TELV/TELV.4s0.TAVRIK.bin", Text::Telv, ",4.0IN SQUARE"},
    {4, O, 0, 480, 800, 2, false, 0, 0, "K2T-K5TX/4NK5TX.bin", Text::Fixed, "4inch, 480x800x16, PANEL-X40"},
    {5, E, -1, 480, 854, 2, false, 0, 0, "K2T-K5TX/5NK2T.bin", Text::Fixed, "5inch, 480x854x16/24, PANEL-M50A"},
    {5, E, 0, 480, 854, 2, false, 0, 0, "K2T-K5TX/5NDK2T.bin", Text::Fixed, "5inch, 480x854x16/24, PANEL-W50C"},
    {5, E, 3, 480, 854, 2, true, 3, 0, "TELV/TELV.5d0.TAVRIK.bin", Text::Telv, ",5.0IN"},
    {5, O, 0, 480, 854, 2, false, 0, 0, nullptr, Text::Unknown, nullptr},
    {7, E, 6, 800, 480, 1, true, 3, 1, "TELV/TELV.6d8.TAVRIK.bin", Text::Telv, ",6.8IN"},
    {7, O, 0, 800, 480, 1, false, 0, 0, "K2T-K5TX/7NDK2T.bin", Text::Fixed, "6.8inch, 800x480x16/24, PANEL-W68A"},
    {8, A, 0, 1024, 600, 1, true, 3, 0, "TELV/TELV.7d0.TAVRIK.bin", Text::Telv, ",7.0IN"},
    {10, E, 10, 1024, 600, 1, true, 0, 0, "TELV/TELV.10d.TAVRIK.bin", Text::Telv, ", 10IN"},
    {10, O, 0, 1024, 600, 1, false, 0, 0, nullptr, Text::Unknown, nullptr},
    {0x104, E, -1, 480, 800, 2, false, 0, 0, "K2T-K5TX/4NK2T.bin", Text::Fixed, "4inch, 480x800x16/24, PANEL-Y40"},
    {0x104, E, 0, 480, 800, 2, false, 0, 0, "K2T-K5TX/4NDXK2P.bin", Text::Fixed, "4inch, 480x800x16/24, PANEL-W40B"},
    {0x104, E, 1, 480, 800, 2, false, 0, 0, "K2T-K5TX/4NK2T.bin", Text::Fixed, "4inch, 480x800x16/24, PANEL-M40A"},
    {0x104, O, 0, 480, 800, 2, false, 0, 0, nullptr, Text::Unknown, nullptr},
    {0x304, E, 8, 480, 800, 2, true, 3, 0, "TELV/TELV.4d3.TAVRIK.bin", Text::Telv, ",4.3IN"},
    {0x304, O, 0, 480, 800, 2, false, 0, 0, "K2T-K5TX/4N3K2T.bin", Text::Fixed, "4.3inch, 480x800x16/24, PANEL-W43A"},
    {0x403, E, 5, 800, 800, 1, true, 0, 0, "TELV/TELV.3r4.TAVRIK.bin", Text::Telv, ",3.4IN-R"},
    {0x403, O, 0, 800, 800, 1, false, 0, 0, nullptr, Text::Unknown, nullptr},
    {0x807, A, 0, 400, 1280, 2, true, 0, 0, "TELV/TELV.7n8.TAVRIK.bin", Text::Telv, ",7.8IN LONG"},
}};

const ModelRow *findRow(uint32_t sizeCode, int32_t variantCode)
{
    // Codes compare as 32-bit values: variant -1 is 0xFFFFFFFF.
    for (const ModelRow &row : kModels) {
        if (row.sizeCode != sizeCode)
            continue;
        if (row.match != Variant::Exact || uint32_t(row.variant) == uint32_t(variantCode))
            return &row;
    }
    return nullptr;
}

} // namespace

QString applyModelTable(ScreenGeometry &g, uint32_t sizeCode, int32_t variantCode, const QString &identString)
{
    g.sizeCode = sizeCode;
    g.variantCode = variantCode;
    g.telvFamily = false;
    g.flipAllowed = 0;
    g.flipDefault = 0;
    const ModelRow *row = findRow(sizeCode, variantCode);
    if (!row)
        return kUnknownModelText; // a size code of no row changes no geometry
    g.panelWidth = row->width;
    g.panelHeight = row->height;
    g.rotationCode = row->rotation;
    g.telvFamily = row->telv;
    g.flipAllowed = row->flipAllowed;
    g.flipDefault = row->flipDefault;
    if (row->firmware)
        g.modelFirmwareName = QString::fromLatin1(row->firmware);
    switch (row->text) {
    case Text::Fixed: return QString::fromLatin1(row->words);
    case Text::Telv: return QStringLiteral("TELV ") + identString + QString::fromLatin1(row->words);
    case Text::Unknown: break;
    }
    return kUnknownModelText;
}

QString defaultLogo(int panelWidth, int panelHeight)
{
    if (panelWidth == 800 && panelHeight == 800)
        return QStringLiteral(":/logo.800x800.png");
    if (panelWidth == 480 && panelHeight == 854)
        return QStringLiteral(":/logo.854x480.png");
    return QStringLiteral(":/logo.800x480.png");
}

} // namespace screenlink
