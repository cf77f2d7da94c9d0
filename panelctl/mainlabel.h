#pragma once

#include <QLabel>
#include <QList>

// Three signed 32-bit values: preview position and the touch event flag.
struct TouchPoint {
    int x = 0;
    int y = 0;
    int t = 0;
};

// The preview: shows what was last sent to the screen, and the touches.
class MainLabel : public QLabel {
    Q_OBJECT

public:
    explicit MainLabel(QWidget *parent = nullptr);
    const QList<TouchPoint> &touchPoints() const { return m_points; }

public slots:
    void onTouchReady(int x, int y, int t);
    void onClean();

private:
    QList<TouchPoint> m_points;
};
