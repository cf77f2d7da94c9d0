#include "mainlabel.h"

#include <QPainter>

MainLabel::MainLabel(QWidget *parent) : QLabel(parent) {}

void MainLabel::onTouchReady(int x, int y, int t)
{
    const touchinput::TouchPanel panel = m_panel ? m_panel() : touchinput::TouchPanel{};
    TouchPoint p;
    touchinput::mapTouch(panel, x, y, &p.x, &p.y);
    p.t = t;
    m_points.append(p);
    update();
}

void MainLabel::onClean()
{
    if (!m_points.isEmpty())
        m_points.clear();
    update();
}

void MainLabel::paintEvent(QPaintEvent *event)
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
