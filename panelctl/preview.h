#pragma once

#include <QLabel>
#include <QList>
#include <QPoint>

// Three signed 32-bit values: preview position and the touch event flag.
struct TouchPoint {
    int x = 0;
    int y = 0;
    int t = 0;
};

// The preview: shows what was last sent to the screen, and the touches.
class Preview : public QLabel {
    Q_OBJECT

public:
    explicit Preview(QWidget *parent = nullptr);
    const QList<TouchPoint> &touchPoints() const { return m_points; }

public slots:
    // A touch at `at` in preview pixels; every one is kept and drawn.
    void addTouch(QPoint at, int t);
    void onClean();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QList<TouchPoint> m_points;
};
