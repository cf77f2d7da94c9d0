#pragma once

#include "devicelist.h"
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
    // Asks the transfer to end; safe from its own callback.
    void requestStop();
    // Returns once no callback can run any more. Never call it from a
    // libusb callback.
    void waitEnded();
    void cancelAndWait();
    bool active() const { return !m_done; }
    // Runs in the callback just before the transfer is submitted again, so
    // that tests can close it at that very moment.
    void setBeforeResubmit(std::function<void()> hook) { m_beforeResubmit = std::move(hook); }

private:
    static void LIBUSB_CALL onComplete(libusb_transfer *transfer);
    // The callback's very last use of this object.
    void finish();

    libusb_context *m_ctx;
    Transfer m_transfer;
    ReportHandler m_handler;
    std::function<void()> m_beforeResubmit;
    std::array<uint8_t, 14> m_buffer{};
    std::atomic<bool> m_stopping{false};
    // libusb's "completed" flag for libusb_handle_events_timeout_completed(),
    // and its mirror that our own threads read.
    int m_finished = 1;
    std::atomic<bool> m_done{true};
};

// The control and bulk endpoints of an open screen, held for one exchange.
// Only Screen::exchange() makes one, so whatever goes to a screen passes its
// one serialising point.
class Wire {
public:
    libusb_device_handle *handle() const { return m_handle; }

private:
    friend class Screen;
    explicit Wire(libusb_device_handle *handle) : m_handle(handle) {}
    libusb_device_handle *m_handle;
};

// How a frame goes out: the header request, then its pixel data in one bulk
// transfer, as one exchange.
struct FrameSend {
    bool displayOn = false; // the 0x29 command first, as the picture path sends it
    int times = 1;          // panels with a lead take header and data twice
    bool zeroTopByte = false; // header byte 5 is 0x00 whatever the count (monitor mode)
};

// An open screen: the device handle with its claimed interface, the one
// point every exchange with the screen passes, and the touch transfer when
// one runs. Shared by whoever uses the screen; the handle closes when the
// last user lets go.
// Why a screen could not be opened.
enum class OpenFailure {
    None,
    CannotOpen, // gone, or no access to its device node
    InUse,      // another program (or another handle of ours) holds it
};

class Screen {
public:
    // Opens `device`, claims interface 0 and selects its alternate setting 0.
    // Null when the device cannot be opened or its interface is claimed
    // already: the kernel would let vendor requests through without the
    // claim, so a screen another program holds is left alone. The screen
    // keeps the context alive: a user that holds it longer than its window
    // is still safe.
    static std::shared_ptr<Screen> open(std::shared_ptr<UsbContext> ctx, libusb_device *device,
                                        OpenFailure *why = nullptr);
    ~Screen();
    Screen(const Screen &) = delete;
    Screen &operator=(const Screen &) = delete;

    UsbId usbId() const { return m_id; }
    DeviceKind kind() const { return deviceKind(m_id); }
    // Where it sits on the bus; the address changes when it comes back.
    int busNumber() const { return m_bus; }
    int deviceAddress() const { return m_address; }
    // Whether the bus still has this plug-in of the device (the same
    // address and IDs): a screen swapped at the port has another address.
    bool stillOnBus() const;

    // Runs `body(Wire &)` with the screen to itself: the requests it makes
    // reach the screen with nothing of another thread's between them. Keep
    // it to one transaction or frame; others wait meanwhile.
    template <typename Body>
    decltype(auto) exchange(Body &&body)
    {
        std::lock_guard lock(m_traffic);
        Wire wire(m_handle.get());
        return body(wire);
    }

    // Single exchanges, libusb's result each (a byte count, or negative).
    int readIdentString(uint8_t reply[64]);
    int sendFlip(uint8_t flip);
    int sendBacklight(uint8_t level);
    int requestReboot();
    int setProgramming(bool on);
    int eraseStep(uint8_t step);
    int readLogLength(uint8_t reply[4]);
    // The offset, then the 64 bytes at it.
    int readLogChunk(uint32_t offset, uint8_t chunk[64]);
    // `count` bytes of pixels after their header; the result of the last
    // bulk transfer, or the first failure.
    int sendFrame(const uint8_t *pixels, uint32_t count, const FrameSend &how);
    // Bulk data without a header (the throughput test, a blank screen).
    int sendBulk(const uint8_t *data, int length);

    int startTouch(TouchTransfer::ReportHandler handler);
    void stopTouch();
    bool touchActive() const { return m_touch && m_touch->active(); }

private:
    Screen(std::shared_ptr<UsbContext> ctx, DeviceHandle handle);

    std::shared_ptr<UsbContext> m_ctx; // declared first: outlives the handle
    DeviceHandle m_handle;
    UsbId m_id;
    int m_bus = -1;
    int m_address = -1;
    std::mutex m_traffic;
    std::unique_ptr<TouchTransfer> m_touch;
};

} // namespace screenlink
