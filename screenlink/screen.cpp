#include "screen.h"

#include "requests.h"

#include <cstring>

namespace screenlink {

TouchTransfer::TouchTransfer(libusb_context *ctx, libusb_device_handle *handle, ReportHandler handler)
    : m_ctx(ctx), m_handler(std::move(handler))
{
    if (m_transfer)
        libusb_fill_interrupt_transfer(m_transfer.get(), handle, kTouchEndpoint, m_buffer.data(),
                                       int(m_buffer.size()), &TouchTransfer::onComplete, this, 0xFFFFFFFFu);
}

TouchTransfer::~TouchTransfer()
{
    cancelAndWait();
}

int TouchTransfer::submit()
{
    if (!m_transfer)
        return LIBUSB_ERROR_NO_MEM;
    m_finished = 0;
    m_done = false;
    const int r = libusb_submit_transfer(m_transfer.get());
    if (r < 0) {
        m_finished = 1;
        m_done = true;
    }
    return r;
}

void TouchTransfer::cancelAndWait()
{
    m_stopping = true;
    if (m_done)
        return;
    libusb_cancel_transfer(m_transfer.get());
    // Handles events itself, so this works whether or not an event thread
    // runs; with one running, libusb lets the two take turns.
    while (!m_done) {
        timeval tv{0, 100000};
        libusb_handle_events_timeout_completed(m_ctx, &tv, &m_finished);
    }
}

void LIBUSB_CALL TouchTransfer::onComplete(libusb_transfer *transfer)
{
    auto *self = static_cast<TouchTransfer *>(transfer->user_data);
    if (transfer->status != LIBUSB_TRANSFER_COMPLETED || self->m_stopping) {
        self->finish();
        return;
    }
    // Kept before the buffer is handed back to the screen.
    Report report{};
    std::memcpy(report.data(), self->m_buffer.data(), report.size());
    const int length = transfer->actual_length;
    const bool resubmitted = libusb_submit_transfer(transfer) == 0;
    if (length >= int(report.size()) && self->m_handler)
        self->m_handler(report);
    // Last of all: once the owner sees the transfer done it may free it, and
    // this object with it.
    if (!resubmitted)
        self->finish();
}

void TouchTransfer::finish()
{
    m_finished = 1;
    m_done.store(true, std::memory_order_release);
}

std::shared_ptr<Screen> Screen::open(std::shared_ptr<UsbContext> ctx, libusb_device *device)
{
    DeviceHandle handle = DeviceHandle::open(device);
    if (!handle)
        return nullptr;
    handle.claimInterface0();
    std::shared_ptr<Screen> screen(new Screen(std::move(ctx), std::move(handle)));
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(device, &desc) == 0) {
        screen->m_vendorId = desc.idVendor;
        screen->m_productId = desc.idProduct;
    }
    return screen;
}

Screen::Screen(std::shared_ptr<UsbContext> ctx, DeviceHandle handle) : m_ctx(std::move(ctx)), m_handle(std::move(handle)) {}

Screen::~Screen()
{
    stopTouch();
}

int Screen::startTouch(TouchTransfer::ReportHandler handler)
{
    stopTouch();
    m_touch = std::make_unique<TouchTransfer>(m_ctx->get(), m_handle.get(), std::move(handler));
    return m_touch->submit();
}

void Screen::stopTouch()
{
    if (m_touch) {
        m_touch->cancelAndWait();
        m_touch.reset();
    }
}

} // namespace screenlink
