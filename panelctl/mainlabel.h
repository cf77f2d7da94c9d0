#pragma once

#include "touchinput.h"

#include <QLabel>
#include <QList>

#include <functional>

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
    // Where the identified panel's geometry comes from when a touch arrives.
    void setPanelSource(std::function<touchinput::TouchPanel()> source) { m_panel = std::move(source); }

public slots:
    void onTouchReady(int x, int y, int t);
    void onClean();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QList<TouchPoint> m_points;
    std::function<touchinput::TouchPanel()> m_panel;
};
