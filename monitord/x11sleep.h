#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <memory>

struct _XDisplay;

// The X server's own blanking: its screensaver (MIT-SCREEN-SAVER, told as
// it happens) and the monitors' power state (DPMS, which has no events, so
// it is looked at every few seconds). Quiet where there is no X display.
class X11Sleep : public QObject {
    Q_OBJECT

public:
    explicit X11Sleep(QObject *parent = nullptr);
    ~X11Sleep() override;

    // Connects to $DISPLAY; false when there is none to watch.
    bool start();

signals:
    void blanked(bool blank);

private:
    void readEvents();
    void lookAtPower();
    void judge();

    struct DisplayCloser {
        void operator()(_XDisplay *display) const;
    };
    std::unique_ptr<_XDisplay, DisplayCloser> m_display;
    std::unique_ptr<QSocketNotifier> m_events;
    QTimer m_power;
    int m_saverEvent = 0;
    bool m_saverOn = false;
    bool m_powerOff = false;
    bool m_blank = false;
};
