#include "screen.h"

#include "exclusivename.h"
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

void TouchTransfer::requestStop()
{
    m_stopping = true;
    if (!m_done)
        libusb_cancel_transfer(m_transfer.get());
}

void TouchTransfer::cancelAndWait()
{
    requestStop();
    waitEnded();
}

void TouchTransfer::waitEnded()
{
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
    if (self->m_beforeResubmit)
        self->m_beforeResubmit();
    const bool resubmitted = libusb_submit_transfer(transfer) == 0;
    // A close that came after the check above found nothing to cancel, as
    // the transfer was in this callback: cancel what was just submitted, or
    // the close would wait for a touch that may never come.
    const bool stopping = self->m_stopping.load();
    if (resubmitted && stopping)
        libusb_cancel_transfer(transfer);
    if (!stopping && length >= int(report.size()) && self->m_handler)
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

std::shared_ptr<Screen> Screen::open(std::shared_ptr<UsbContext> ctx, libusb_device *device, OpenFailure *why)
{
    OpenFailure ignored = OpenFailure::None;
    OpenFailure &failure = why ? *why : ignored;
    failure = OpenFailure::CannotOpen;
    DeviceHandle handle = DeviceHandle::open(device);
    if (!handle)
        return nullptr;
    const int claim = handle.claimInterface0();
    if (claim < 0) {
        failure = claim == LIBUSB_ERROR_BUSY ? OpenFailure::InUse : OpenFailure::CannotOpen;
        return nullptr;
    }
    // Looked at once the claim is ours: a holder takes its hold before it
    // lets go of its own claim, so either the claim or the hold tells.
    if (platform::ExclusiveName::heldElsewhere(PortPath::of(device).holdName())) {
        failure = OpenFailure::InUse;
        return nullptr;
    }
    failure = OpenFailure::None;
    std::shared_ptr<Screen> screen(new Screen(std::move(ctx), std::move(handle)));
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(device, &desc) == 0)
        screen->m_id = {desc.idVendor, desc.idProduct};
    screen->m_bus = libusb_get_bus_number(device);
    screen->m_address = libusb_get_device_address(device);
    return screen;
}

bool Screen::stillOnBus() const
{
    const DeviceList devices(m_ctx->get());
    for (const BusDevice &d : devices.devices())
        if (d.port.bus == m_bus && d.address == m_address && d.id == m_id)
            return true;
    return false;
}

Screen::Screen(std::shared_ptr<UsbContext> ctx, DeviceHandle handle) : m_ctx(std::move(ctx)), m_handle(std::move(handle)) {}

Screen::~Screen()
{
    stopTouch();
}

int Screen::readIdentString(uint8_t reply[64])
{
    return exchange([&](Wire &w) { return screenlink::readIdentString(w.handle(), reply); });
}

int Screen::sendFlip(uint8_t flip)
{
    return exchange([&](Wire &w) { return screenlink::sendFlip(w.handle(), flip); });
}

int Screen::sendBacklight(uint8_t level)
{
    return exchange([&](Wire &w) { return screenlink::sendBacklight(w.handle(), level); });
}

int Screen::requestReboot()
{
    return exchange([](Wire &w) { return screenlink::requestReboot(w.handle()); });
}

int Screen::setProgramming(bool on)
{
    return exchange([&](Wire &w) { return screenlink::setProgramming(w.handle(), on); });
}

int Screen::eraseStep(uint8_t step)
{
    return exchange([&](Wire &w) { return screenlink::eraseStep(w.handle(), step); });
}

int Screen::readLogLength(uint8_t reply[4])
{
    return exchange([&](Wire &w) { return screenlink::readLogLength(w.handle(), reply); });
}

int Screen::readLogChunk(uint32_t offset, uint8_t chunk[64])
{
    return exchange([&](Wire &w) {
        const int r = screenlink::setLogOffset(w.handle(), offset);
        return r < 0 ? r : screenlink::readLogChunk(w.handle(), chunk);
    });
}

int Screen::sendFrame(const uint8_t *pixels, uint32_t count, const FrameSend &how)
{
    return exchange([&](Wire &w) {
        int result = 0;
        if (how.displayOn)
            result = sendDisplayOn(w.handle());
        for (int i = 0; i < how.times; ++i) {
            const int header = how.zeroTopByte ? sendFrameHeader(w.handle(), count, 0x00)
                                               : sendFrameHeader(w.handle(), count);
            // Data without its header would be taken as the next frame's.
            if (header < 0)
                return header;
            result = screenlink::sendBulk(w.handle(), pixels, int(count));
            if (result < 0)
                return result;
        }
        return result;
    });
}

int Screen::sendBulk(const uint8_t *data, int length)
{
    return exchange([&](Wire &w) { return screenlink::sendBulk(w.handle(), data, length); });
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
