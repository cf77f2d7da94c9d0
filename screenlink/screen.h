#pragma once

#include "usbhandles.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace screenlink {

// The one interrupt transfer that brings touch reports in. Its owner cancels
// it and waits for its last callback before the device handle closes; a
// transfer that ends in error, cancellation or loss of the device is neither
// handed on nor submitted again.
class TouchTransfer {
public:
    using Report = std::array<uint8_t, 14>;
    // Runs on the thread that handles libusb events, after the transfer has
    // been submitted again.
    using ReportHandler = std::function<void(const Report &)>;

    TouchTransfer(libusb_context *ctx, libusb_device_handle *handle, ReportHandler handler);
    ~TouchTransfer();
    TouchTransfer(const TouchTransfer &) = delete;
    TouchTransfer &operator=(const TouchTransfer &) = delete;

    // Returns libusb's result of the first submission.
    int submit();
    // Returns once no callback can run any more. Never call it from a
    // libusb callback.
    void cancelAndWait();
    bool active() const { return !m_done; }

private:
    static void LIBUSB_CALL onComplete(libusb_transfer *transfer);
    // The callback's very last use of this object.
    void finish();

    libusb_context *m_ctx;
    Transfer m_transfer;
    ReportHandler m_handler;
    std::array<uint8_t, 14> m_buffer{};
    std::atomic<bool> m_stopping{false};
    // libusb's "completed" flag for libusb_handle_events_timeout_completed(),
    // and its mirror that our own threads read.
    int m_finished = 1;
    std::atomic<bool> m_done{true};
};

// An open screen: the device handle with its claimed interface, the lock
// that keeps bridge transactions of different threads apart, and the touch
// transfer when one runs. Shared by whoever uses the screen; the handle
// closes when the last user lets go.
class Screen {
public:
    // Opens `device`, claims interface 0 and selects its alternate setting 0.
    // Null when the device cannot be opened. The screen keeps the context
    // alive: a user that holds it longer than its window is still safe.
    static std::shared_ptr<Screen> open(std::shared_ptr<UsbContext> ctx, libusb_device *device);
    ~Screen();
    Screen(const Screen &) = delete;
    Screen &operator=(const Screen &) = delete;

    libusb_device_handle *handle() const { return m_handle.get(); }
    uint16_t vendorId() const { return m_vendorId; }
    uint16_t productId() const { return m_productId; }

    // Every bridge transaction (two or three requests) holds this.
    std::unique_lock<std::mutex> lockTransaction() { return std::unique_lock(m_transaction); }

    int startTouch(TouchTransfer::ReportHandler handler);
    void stopTouch();
    bool touchActive() const { return m_touch && m_touch->active(); }

private:
    Screen(std::shared_ptr<UsbContext> ctx, DeviceHandle handle);

    std::shared_ptr<UsbContext> m_ctx; // declared first: outlives the handle
    DeviceHandle m_handle;
    uint16_t m_vendorId = 0;
    uint16_t m_productId = 0;
    std::mutex m_transaction;
    std::unique_ptr<TouchTransfer> m_touch;
};

} // namespace screenlink
