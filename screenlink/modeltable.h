#pragma once

#include <QSize>
#include <QString>

#include <cstdint>

namespace screenlink {

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

    // Always the landscape (or square) form of the panel.
    QSize pictureSize() const
    {
        return rotationCode == 2 ? QSize(panelHeight, panelWidth) : QSize(panelWidth, panelHeight);
    }
};

inline const QString kUnknownModelText = QStringLiteral("Unknown Size, 480x800x16?, Unknown Type");

// Looks the codes up in the model table and records the row in `geometry`
// (cells the table leaves unchanged keep their value). Returns the
// identification text; `identString` is the screen's own for TELV rows.
QString applyModelTable(ScreenGeometry &geometry, uint32_t sizeCode, int32_t variantCode, const QString &identString);

// The logo resource shown while no picture has been chosen.
QString defaultLogo(int panelWidth, int panelHeight);

} // namespace screenlink
