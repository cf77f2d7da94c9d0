#pragma once

#include "model/screenmodel.h"
#include "usb/virtualbus.h"

#include <QElapsedTimer>
#include <QImage>
#include <QWidget>

#include <memory>

class QLabel;
class QPushButton;

namespace sim {

// The glass of one simulated screen: the last frame turned back into the
// panel's own orientation, dimmed by the backlight, with the screen's state
// below. Mouse presses on the picture become touch reports.
class ScreenViewer : public QWidget {
    Q_OBJECT

public:
    ScreenViewer(VirtualBus &bus, int slot, QWidget *parent = nullptr);

    // What the glass shows now (for screenshots and tests).
    QImage glass() const { return m_glass; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    void refresh();
    void touchAt(QPointF widgetPos, int eventFlag);
    QRect pictureRect() const;

    VirtualBus &m_bus;
    int m_slot;
    std::shared_ptr<ScreenModel> m_model;
    QLabel *m_state;
    QPushButton *m_plug;
    QImage m_glass;
    uint64_t m_shownSerial = ~uint64_t(0);
    std::optional<int> m_shownFlip;
    std::optional<int> m_shownBacklight;
    QElapsedTimer m_lastMove;
};

} // namespace sim
