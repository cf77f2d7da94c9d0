#pragma once

#include <libusb.h>

#include <QThread>

#include <atomic>

// Pumps libusb events so that asynchronous transfers complete. The running
// flag is armed before the thread starts, so a stop asked for at once is
// never lost.
class USBEventThread : public QThread {
public:
    explicit USBEventThread(QObject *parent = nullptr) : QThread(parent) {}

    void startPumping(libusb_context *ctx);
    // Asks the loop to end and waits for it; it sees the request within one
    // 100 ms round.
    void stopPumping();

protected:
    void run() override;

private:
    libusb_context *m_ctx = nullptr;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_finished{false}; // visible hand-over after wait()
};
