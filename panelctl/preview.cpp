#include "preview.h"

#include <QPainter>

Preview::Preview(QWidget *parent) : QLabel(parent) {}

void Preview::addTouch(QPoint at, int t)
{
    m_points.append({at.x(), at.y(), t});
    update();
}

void Preview::onClean()
{
    if (!m_points.isEmpty())
        m_points.clear();
    update();
}

void Preview::paintEvent(QPaintEvent *event)
{
    QLabel::paintEvent(event);
    if (m_points.isEmpty())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.setPen(Qt::NoPen);
    // Opaque: the dot keeps its colour on every picture.
    painter.setBrush(QColor(80, 255, 0));
    for (const TouchPoint &p : m_points)
        painter.drawEllipse(QRect(QPoint(p.x - 12, p.y - 12), QPoint(p.x + 11, p.y + 11)));
}
