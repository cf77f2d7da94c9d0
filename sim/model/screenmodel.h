#pragma once

#include "presets.h"

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// A screen as the host sees it over USB, with no USB plumbing: the transport
// hands it decoded requests and carries out the replies it returns. All
// methods are thread-safe; the transport and a test may call them at once.

enum class Mode { Running, TelvBootLoader, K2tBootLoader };

struct UsbId {
    uint16_t vendor = 0;
    uint16_t product = 0;
    bool operator==(const UsbId &) const = default;
};

inline constexpr UsbId kRunningId{0xC872, 0x1004};
inline constexpr UsbId kTelvBootId{0x1F3A, 0xEFE8};
inline constexpr UsbId kK2tBootId{0x04B4, 0x8613};

struct Setup {
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
    bool isIn() const { return requestType & 0x80; }
};

struct Reply {
    enum class Kind {
        Done,   // completes with `data` (IN) or `accepted` bytes (OUT)
        Stall,  // the endpoint stalls: the host sees a pipe error
        Silent, // never completes; the host times out and cancels
    };
    Kind kind = Kind::Done;
    std::vector<uint8_t> data;
    uint32_t accepted = 0;
    int delayMs = 0;
};

// Faults a test can switch on at any time. Unplugging is the transport's.
struct Faults {
    bool silent = false;   // no request completes
    int delayMs = 0;       // every request completes this much later
    int shortReply = -1;   // IN replies carry at most this many bytes
    int bulkAccept = -1;   // a bulk OUT takes at most this many bytes
    int failEvery = 0;     // every Nth request stalls (control and bulk)
    bool operator==(const Faults &) const = default;
};

struct FrameStats {
    uint64_t displayOn = 0;        // 0x29 commands
    uint64_t headers = 0;          // 0x2C frame headers
    uint64_t framesComplete = 0;   // headers whose announced bytes all arrived
    uint64_t framesAbandoned = 0;  // replaced by a new header before complete
    uint64_t rawBulkTransfers = 0; // bulk data without a header
    uint64_t rawBulkBytes = 0;
    uint64_t overrunBytes = 0;     // bytes beyond a header's count in one transfer
};

struct RequestRecord {
    enum class Kind { Control, BulkOut };
    Kind kind = Kind::Control;
    Setup setup;                  // control only
    std::vector<uint8_t> payload; // OUT data, or the IN reply; empty for bulk
    uint32_t bulkLength = 0;      // bulk only
    Reply::Kind outcome = Reply::Kind::Done;
};

using TouchReport = std::array<uint8_t, 14>;

class ScreenModel {
public:
    explicit ScreenModel(const Preset &preset, uint32_t unitSeed = 1);

    const Preset &preset() const { return m_preset; }

    // --- transport side -------------------------------------------------
    Mode mode() const;
    UsbId usbId() const;
    Reply control(const Setup &setup, const uint8_t *out, size_t outLength);
    Reply bulkOut(uint8_t endpoint, const uint8_t *data, size_t length);
    // The next touch report for a pending interrupt IN on 0x81, if any.
    std::optional<TouchReport> takeTouchReport();
    bool touchEndpointServed() const; // silent screens report no touches
    // A reboot request was accepted: the transport unplugs the screen and
    // later calls powerUp().
    bool takeRebootRequest();
    // Power-up: runs the firmware when it is bootable, else stays in the
    // boot loader of its family.
    void powerUp();
    // Called (outside the model's lock) whenever a touch report is queued.
    void setTouchListener(std::function<void()> listener);

    // --- test side ------------------------------------------------------
    void injectTouch(int rawX, int rawY, int eventFlag);
    void injectTouchReport(const TouchReport &report);
    // Raw touch position that the identified panel maps to picture point (x, y).
    std::pair<int, int> rawTouchForPicturePoint(int x, int y) const;

    void setFaults(const Faults &faults);
    Faults faults() const;
    // A fault aimed at particular requests: the filter sees every control
    // request before the screen does and may stall it or swallow it. It runs
    // under the model's lock, so it must not call the model.
    // Slow: answered as usual, kSlowAnswerMs late (within every timeout).
    enum class FilterAction { Pass, Stall, Silent, Slow };
    static constexpr int kSlowAnswerMs = 150;
    using RequestFilter = std::function<FilterAction(const Setup &, const uint8_t *out, size_t outLength)>;
    void setRequestFilter(RequestFilter filter);
    // The next flash program (bridge or TELV boot loader), or EEPROM write
    // through the K2T boot loader, that covers `address` leaves it XORed
    // with `mask`: a cell that silently failed to take its value.
    void corruptNextProgramAt(uint32_t address, uint8_t mask);
    void setIdent(const std::string &ident);
    // The key under which the vendor keeps this TELV screen's screen block,
    // reported by its boot loader (at most 64 characters go out). Empty for
    // the older family, whose boot loader has no such request.
    std::string telvIdentity() const;
    void setTelvIdentity(const std::string &identity);
    void setMode(Mode mode);
    void setLog(const std::vector<uint8_t> &log);
    void setReportedLogLength(std::optional<int32_t> length); // a lying screen
    void setRebootDelayMs(int ms);
    int rebootDelayMs() const;

    std::vector<uint8_t> config() const;
    void setConfig(size_t address, const std::vector<uint8_t> &bytes);
    std::vector<uint8_t> flash() const;
    void setFlash(const std::vector<uint8_t> &bytes); // from address 0, rest erased
    std::array<uint8_t, 8> deviceId() const;
    uint32_t sizeCode() const;
    int32_t variantCode() const;

    bool programming() const;
    std::optional<int> flip() const;      // last flip value, none before the first
    std::optional<int> backlight() const; // last level, none before the first
    uint8_t ledRegister(uint8_t page, uint8_t reg) const;
    uint8_t ledPage() const;
    std::vector<uint8_t> lastFrame() const; // the last complete frame
    // The data of the last bulk transfer that came without a frame header.
    std::vector<uint8_t> lastRawBulk() const;
    uint64_t frameSerial() const;           // grows with every complete frame
    FrameStats frameStats() const;
    // The last frame as the viewer sees the glass: upright picture pixels,
    // RGB 5-6-5, width x height, or empty when the frame does not fit the panel.
    std::vector<uint16_t> shownPicture(int *width, int *height) const;
    uint64_t eraseSteps() const;
    // Bridge commands refused because the previous transaction on this
    // screen was not finished: two threads' transactions got interleaved.
    uint64_t interleavedTransactions() const;
    uint64_t rejectedWrites() const; // writes outside programming mode

    std::vector<RequestRecord> requests() const;
    void clearRequests();

    static constexpr size_t kConfigSize = 8192;
    static constexpr size_t kFlashSize = 1 << 20;
    static constexpr size_t kFlashSector = 4096;   // TELV boot loader erase unit
    static constexpr size_t kBootChunk = 4096;     // most bytes per TELV boot loader write or read
    static constexpr size_t kEepromChunk = 64;     // most bytes per K2T boot loader write or read
    static constexpr uint8_t kConfigTarget = 0x51;
    static constexpr uint8_t kLedTarget = 0x74;

private:
    Reply controlLocked(const Setup &setup, const uint8_t *out, size_t outLength);
    Reply runningControl(const Setup &setup, const uint8_t *out, size_t outLength);
    Reply telvBootControl(const Setup &setup, const uint8_t *out, size_t outLength);
    Reply k2tBootControl(const Setup &setup, const uint8_t *out, size_t outLength);
    void applyCorruption(std::vector<uint8_t> &mem, size_t base, size_t count);
    Reply screenCommand(const uint8_t *out, size_t outLength);
    Reply bridgeCommand(const uint8_t *out, size_t outLength);
    void bridgeConfig(uint8_t writeCount, uint8_t readCount, const uint8_t *bytes);
    void bridgeLed(uint8_t writeCount, uint8_t readCount, const uint8_t *bytes);
    void record(RequestRecord r);
    void queueTouch(const TouchReport &report);
    uint32_t config32(size_t address) const;

    const Preset m_preset;
    mutable std::mutex m_mutex;
    Mode m_mode = Mode::Running;
    std::string m_ident;
    std::string m_telvIdentity;
    Faults m_faults;
    RequestFilter m_filter;
    std::optional<std::pair<uint32_t, uint8_t>> m_corruption;
    uint64_t m_requestCount = 0;

    std::vector<uint8_t> m_config;
    std::vector<uint8_t> m_flash;
    bool m_programming = false;
    uint64_t m_eraseSteps = 0;
    uint64_t m_rejectedWrites = 0;

    // Bridge transaction in flight: status and bytes read, fetched by 0xB6/0xB7.
    uint8_t m_bridgeStatus = 0;
    std::vector<uint8_t> m_bridgeRead;
    bool m_bridgeOpen = false;      // a transaction waits for its status or data
    bool m_bridgeNeedsStatus = false;
    bool m_bridgeNeedsData = false;
    uint64_t m_interleaved = 0;

    std::map<uint8_t, std::array<uint8_t, 256>> m_ledPages;
    uint8_t m_ledPage = 0;

    std::optional<int> m_flip;
    std::optional<int> m_backlight;

    uint64_t m_frameExpected = 0;
    std::vector<uint8_t> m_frameBuilding;
    std::vector<uint8_t> m_lastFrame;
    std::vector<uint8_t> m_lastRawBulk;
    uint64_t m_frameSerial = 0;
    FrameStats m_stats;

    std::vector<uint8_t> m_log;
    std::optional<int32_t> m_reportedLogLength;
    uint32_t m_logOffset = 0;

    std::deque<TouchReport> m_touches;
    std::function<void()> m_touchListener;

    bool m_rebootRequested = false;
    int m_rebootDelayMs = 1500;

    std::deque<RequestRecord> m_requests;
    static constexpr size_t kMaxRecords = 200000;
};

} // namespace sim
