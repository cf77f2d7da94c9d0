#include "mainlabel.h"

MainLabel::MainLabel(QWidget *parent) : QLabel(parent) {}

void MainLabel::onTouchReady(int x, int y, int t)
{
    m_points.append(TouchPoint{x, y, t});
    update();
}

void MainLabel::onClean()
{
    m_points.clear();
    update();
}
