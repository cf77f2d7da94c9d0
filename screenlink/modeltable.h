#pragma once

#include <QSize>
#include <QString>

#include <cstdint>
#include <span>

// The panels the screens drive. One row per model holds every fact about
// it that building pictures, reading touches, sizing windows, choosing
// firmware and the start logo need; nothing else in the programs knows a
// panel by its codes.
namespace screenlink {

// How a panel scans a picture of its picture size, i.e. how the picture is
// turned or mirrored before it is sent.
enum class ScanOrder {
    AsIs,                // row by row from the top left, as the picture is
    HalfTurn,            // mirrored top to bottom and left to right
    TopToBottom,         // mirrored top to bottom only
    QuarterTurn,         // 90 degrees clockwise: frame rows are picture columns
    QuarterTurnBack,     // 270 degrees
};

// One coordinate of a touch in picture pixels, from the raw x and y of the
// report and the panel's width W and height H.
enum class TouchAxis { X, Y, WMinusX, HMinusY, HMinusX, WMinusY };
struct TouchMap {
    TouchAxis x = TouchAxis::Y;
    TouchAxis y = TouchAxis::WMinusX;
};

// The start logo, by the panel's picture.
enum class Logo { Wide800x480, Wide854x480, Square800x800 };

enum class VariantMatch { Exact, Any, Other };
enum class ModelText { Fixed, Telv, Unknown };

struct ModelRow {
    uint32_t sizeCode;
    VariantMatch match;     // Other: every variant not listed above it for this size code
    int32_t variant;
    int width;              // in the panel's own orientation
    int height;
    int rotation;           // 2: a portrait panel, pictures are turned a quarter turn
    bool telv;              // the TELV family
    int flipAllowed;
    int flipDefault;        // bit 0 vertical, bit 1 horizontal
    const char *firmware;   // relative to the firmware folder; nullptr: the previous model's stays
    ModelText text;
    const char *words;      // the fixed identification text, or the TELV suffix
    ScanOrder scanOrder;
    int leadBytes;          // unwritten bytes before the pixels; such panels take every frame twice
    TouchMap touch;
    TouchMap touchNewerFirmware; // firmware minor above 16
    Logo logo;
    // The model as the upgrade's warning lists it ("4.0inch/PANEL-Y40"),
    // and its place there within its family; nullptr when not listed.
    const char *listing;
    int listingOrder;
};

std::span<const ModelRow> modelTable();
// The row for the codes; null when no row has the size code.
const ModelRow *findModel(uint32_t sizeCode, int32_t variantCode);

// What the identified panel is: everything that builds pixels for the
// screen, sizes the window or picks firmware reads it from here.
struct ScreenGeometry {
    uint32_t sizeCode = 0;
    int32_t variantCode = 0;
    int panelWidth = 800; // in the panel's own orientation
    int panelHeight = 480;
    int rotationCode = 0; // 2: pictures are turned a quarter turn before sending
    bool telvFamily = false;
    int flipAllowed = 0;
    int flipDefault = 0; // bit 0 vertical, bit 1 horizontal
    QString modelFirmwareName; // relative to the firmware folder
    // The row the last identification found; null before the first and
    // for a size code no row knows.
    const ModelRow *model = nullptr;

    // Always the landscape (or square) form of the panel.
    QSize pictureSize() const
    {
        return rotationCode == 2 ? QSize(panelHeight, panelWidth) : QSize(panelWidth, panelHeight);
    }
    // A screen no row knows keeps the size and rotation it was given last;
    // it is then scanned, touched and greeted as the rules for such codes
    // say (a quarter turn for portrait panels, else a half turn).
    ScanOrder scanOrder() const;
    int leadBytes() const { return model ? model->leadBytes : 0; }
    TouchMap touchMap(int firmwareMinor) const;
    Logo logo() const;
};

inline const QString kUnknownModelText = QStringLiteral("Unknown Size, 480x800x16?, Unknown Type");

// Looks the codes up in the model table and records the row in `geometry`
// (cells the table leaves unchanged keep their value). Returns the
// identification text; `identString` is the screen's own for TELV rows.
QString applyModelTable(ScreenGeometry &geometry, uint32_t sizeCode, int32_t variantCode, const QString &identString);

// The logo resource shown while no picture has been chosen.
QString logoResource(Logo logo);
QString defaultLogo(int panelWidth, int panelHeight);

} // namespace screenlink
