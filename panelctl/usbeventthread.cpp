#include "usbeventthread.h"

void USBEventThread::startPumping(libusb_context *ctx)
{
    m_ctx = ctx;
    m_running = true;
    start();
}

void USBEventThread::stopPumping()
{
    m_running = false;
    wait();
    (void)m_finished.load(std::memory_order_acquire);
}

void USBEventThread::run()
{
    do {
        timeval tv{0, 100000};
        libusb_handle_events_timeout_completed(m_ctx, &tv, nullptr);
    } while (m_running);
    m_finished.store(true, std::memory_order_release);
}
