#include "modeltable.h"

#include <array>

namespace screenlink {

namespace {

constexpr auto E = VariantMatch::Exact;
constexpr auto O = VariantMatch::Other;
constexpr auto A = VariantMatch::Any;
constexpr auto Fixed = ModelText::Fixed;
constexpr auto Telv = ModelText::Telv;
constexpr auto Unknown = ModelText::Unknown;

constexpr auto Half = ScanOrder::HalfTurn;
constexpr auto TopDown = ScanOrder::TopToBottom;
constexpr auto Quarter = ScanOrder::QuarterTurn;
constexpr auto QuarterBack = ScanOrder::QuarterTurnBack;

using Ax = TouchAxis;
// How each panel's touch controller is mounted against its picture.
constexpr TouchMap kPortrait{Ax::Y, Ax::WMinusX};
constexpr TouchMap kTurned{Ax::HMinusX, Ax::WMinusY};
constexpr TouchMap kUpsideDown{Ax::WMinusX, Ax::HMinusY};
constexpr TouchMap kMirrored{Ax::WMinusX, Ax::Y};
constexpr TouchMap kStraight{Ax::X, Ax::Y};
constexpr TouchMap kLong{Ax::HMinusY, Ax::X};

constexpr auto W800 = Logo::Wide800x480;
constexpr auto W854 = Logo::Wide854x480;
constexpr auto Sq = Logo::Square800x800;

// Rows of a size code are tried in order, "other" last.
constexpr std::array<ModelRow, 22> kModels = {{
    // code  match var  width height rot TELV  flips  firmware                    text   words
    //   scan  lead touch  newer firmware  logo  listing in the upgrade's warning
    {4, E, 2, 480, 800, 2, false, 0, 0, "K2T-K5TX/4NDNK2T.bin", Fixed, "4inch, 480x800x16, TAVRIK-4NDNK2T",
     Quarter, 0, kPortrait, kPortrait, W800, "4.0inch/TAVRIK-4NDNK2T", 3},
    {4, E, 7, 480, 800, 2, true, 3, 0, "TELV/TELV.4d0.TAVRIK.bin", Telv, ",4.0IN",
     Quarter, 0, kPortrait, kPortrait, W800, "4.0inch/TAVRIK-4INRGB", 2},
    {4, E, 12, 480, 480, 2, true, 0, 0, "TELV/TELV.4s0.TAVRIK.bin", Telv, ",4.0IN SQUARE",
     Quarter, 0, kPortrait, kPortrait, W800, "4inch square/PANEL-Q40A", 7},
    {4, O, 0, 480, 800, 2, false, 0, 0, "K2T-K5TX/4NK5TX.bin", Fixed, "4inch, 480x800x16, PANEL-X40",
     Quarter, 0, kPortrait, kPortrait, W800, "4.0inch/PANEL-X40", 2},
    {5, E, -1, 480, 854, 2, false, 0, 0, "K2T-K5TX/5NK2T.bin", Fixed, "5inch, 480x854x16/24, PANEL-M50A",
     Quarter, 320, kPortrait, kPortrait, W854, "5.0inch/PANEL-M50A", 4},
    {5, E, 0, 480, 854, 2, false, 0, 0, "K2T-K5TX/5NDK2T.bin", Fixed, "5inch, 480x854x16/24, PANEL-W50C",
     Quarter, 320, kPortrait, kPortrait, W854, "5.0inch/PANEL-W50G", 7},
    {5, E, 3, 480, 854, 2, true, 3, 0, "TELV/TELV.5d0.TAVRIK.bin", Telv, ",5.0IN",
     Quarter, 0, kPortrait, kPortrait, W854, "5.0inch/TAVRIK-5INRGB", 1},
    {5, O, 0, 480, 854, 2, false, 0, 0, nullptr, Unknown, nullptr,
     Quarter, 320, kPortrait, kPortrait, W854, nullptr, 0},
    {7, E, 6, 800, 480, 1, true, 3, 1, "TELV/TELV.6d8.TAVRIK.bin", Telv, ",6.8IN",
     TopDown, 0, kUpsideDown, kMirrored, W800, "6.8inch/TAVRIK-6.8INRGB", 4},
    {7, O, 0, 800, 480, 1, false, 0, 0, "K2T-K5TX/7NDK2T.bin", Fixed, "6.8inch, 800x480x16/24, PANEL-W68A",
     TopDown, 0, kUpsideDown, kUpsideDown, W800, "6.8inch/PANEL-W68A", 8},
    {8, A, 0, 1024, 600, 1, true, 3, 0, "TELV/TELV.7d0.TAVRIK.bin", Telv, ",7.0IN",
     Half, 0, kUpsideDown, kUpsideDown, W800, nullptr, 0},
    {10, E, 10, 1024, 600, 1, true, 0, 0, "TELV/TELV.10d.TAVRIK.bin", Telv, ", 10IN",
     TopDown, 0, kStraight, kStraight, W800, "10inch/TAVRIK-10INRGB", 5},
    {10, O, 0, 1024, 600, 1, false, 0, 0, nullptr, Unknown, nullptr,
     TopDown, 0, kTurned, kTurned, W800, nullptr, 0},
    {0x104, E, -1, 480, 800, 2, false, 0, 0, "K2T-K5TX/4NK2T.bin", Fixed, "4inch, 480x800x16/24, PANEL-Y40",
     Quarter, 0, kPortrait, kPortrait, W800, "4.0inch/PANEL-Y40", 1},
    {0x104, E, 0, 480, 800, 2, false, 0, 0, "K2T-K5TX/4NDXK2P.bin", Fixed, "4inch, 480x800x16/24, PANEL-W40B",
     Quarter, 0, kPortrait, kPortrait, W800, "4.0inch/PANEL-W40B", 6},
    {0x104, E, 1, 480, 800, 2, false, 0, 0, "K2T-K5TX/4NK2T.bin", Fixed, "4inch, 480x800x16/24, PANEL-M40A",
     Quarter, 0, kPortrait, kPortrait, W800, nullptr, 0},
    {0x104, O, 0, 480, 800, 2, false, 0, 0, nullptr, Unknown, nullptr,
     Quarter, 0, kPortrait, kPortrait, W800, nullptr, 0},
    {0x304, E, 8, 480, 800, 2, true, 3, 0, "TELV/TELV.4d3.TAVRIK.bin", Telv, ",4.3IN",
     Quarter, 0, kPortrait, kPortrait, W800, "4.3inch/TAVRIK-4.3INRGB", 3},
    {0x304, O, 0, 480, 800, 2, false, 0, 0, "K2T-K5TX/4N3K2T.bin", Fixed, "4.3inch, 480x800x16/24, PANEL-W43A",
     Quarter, 0, kPortrait, kPortrait, W800, "4.3inch/PANEL-W43A", 5},
    {0x403, E, 5, 800, 800, 1, true, 0, 0, "TELV/TELV.3r4.TAVRIK.bin", Telv, ",3.4IN-R",
     Half, 0, kTurned, kTurned, Sq, "3.4inch/TAVRIK-3.4IN-ROUND", 8},
    {0x403, O, 0, 800, 800, 1, false, 0, 0, nullptr, Unknown, nullptr,
     Half, 0, kTurned, kTurned, Sq, nullptr, 0},
    {0x807, A, 0, 400, 1280, 2, true, 0, 0, "TELV/TELV.7n8.TAVRIK.bin", Telv, ",7.8IN LONG",
     QuarterBack, 0, kLong, kLong, W800, "7.85inch long/PANEL-L78C", 6},
}};

} // namespace

std::span<const ModelRow> modelTable()
{
    return kModels;
}

const ModelRow *findModel(uint32_t sizeCode, int32_t variantCode)
{
    // Codes compare as 32-bit values: variant -1 is 0xFFFFFFFF.
    for (const ModelRow &row : kModels) {
        if (row.sizeCode != sizeCode)
            continue;
        if (row.match != VariantMatch::Exact || uint32_t(row.variant) == uint32_t(variantCode))
            return &row;
    }
    return nullptr;
}

ScanOrder ScreenGeometry::scanOrder() const
{
    if (model)
        return model->scanOrder;
    return rotationCode == 2 ? ScanOrder::QuarterTurn : ScanOrder::HalfTurn;
}

TouchMap ScreenGeometry::touchMap(int firmwareMinor) const
{
    if (model)
        return firmwareMinor > 16 ? model->touchNewerFirmware : model->touch;
    // The family flag is reset for an unknown screen: mounted as the older
    // family's landscape panels when the last known one was landscape.
    return rotationCode == 1 ? kTurned : kPortrait;
}

Logo ScreenGeometry::logo() const
{
    if (model)
        return model->logo;
    if (panelWidth == 800 && panelHeight == 800)
        return Logo::Square800x800;
    if (panelWidth == 480 && panelHeight == 854)
        return Logo::Wide854x480;
    return Logo::Wide800x480;
}

QString applyModelTable(ScreenGeometry &g, uint32_t sizeCode, int32_t variantCode, const QString &identString)
{
    g.sizeCode = sizeCode;
    g.variantCode = variantCode;
    g.telvFamily = false;
    g.flipAllowed = 0;
    g.flipDefault = 0;
    const ModelRow *row = findModel(sizeCode, variantCode);
    g.model = row;
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
    case ModelText::Fixed: return QString::fromLatin1(row->words);
    case ModelText::Telv: return QStringLiteral("TELV ") + identString + QString::fromLatin1(row->words);
    case ModelText::Unknown: break;
    }
    return kUnknownModelText;
}

QString logoResource(Logo logo)
{
    switch (logo) {
    case Logo::Square800x800: return QStringLiteral(":/logo.800x800.png");
    case Logo::Wide854x480: return QStringLiteral(":/logo.854x480.png");
    case Logo::Wide800x480: break;
    }
    return QStringLiteral(":/logo.800x480.png");
}

QString defaultLogo(int panelWidth, int panelHeight)
{
    ScreenGeometry g;
    g.panelWidth = panelWidth;
    g.panelHeight = panelHeight;
    return logoResource(g.logo());
}

} // namespace screenlink
