#include "message.h"

#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <algorithm>
#include <memory>

namespace telvdrv {

void drawMessage(const QString &text, uint8_t *pixels, int width, int height, int stride)
{
    // Fonts need an application object; the driver has no display to give
    // it, and may be here because there is none.
    std::unique_ptr<QGuiApplication> app;
    if (!QGuiApplication::instance()) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "telvdrv";
        static char *argv[] = {name, nullptr};
        app = std::make_unique<QGuiApplication>(argc, argv);
    }
    QImage picture(pixels, width, height, stride, QImage::Format_RGB32);
    picture.fill(QColor(0x30, 0x30, 0x30));
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setPen(Qt::white);
    QFont font = painter.font();
    // Readable from a step away on a small panel, whatever its shape.
    font.setPixelSize(std::max(12, std::min(width, height) / 12));
    painter.setFont(font);
    const int margin = std::min(width, height) / 10;
    painter.drawText(QRect(margin, margin, width - 2 * margin, height - 2 * margin),
                     Qt::AlignCenter | Qt::TextWordWrap, text);
}

} // namespace telvdrv
