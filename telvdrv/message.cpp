#include "message.h"

#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <algorithm>
#include <memory>

namespace telvdrv {

std::unique_ptr<QGuiApplication> ensureApplication()
{
    if (QGuiApplication::instance())
        return nullptr;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "telvdrv";
    static char *argv[] = {name, nullptr};
    return std::make_unique<QGuiApplication>(argc, argv);
}

void drawMessage(const QString &text, uint8_t *pixels, int width, int height, int stride)
{
    const std::unique_ptr<QGuiApplication> app = ensureApplication();
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
