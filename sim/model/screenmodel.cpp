#include "screenmodel.h"

#include "firmware.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace sim {

namespace {

constexpr uint8_t kVendorOut = 0x40;
constexpr uint8_t kVendorIn = 0xC0;
constexpr uint64_t kMaxFrameBytes = 8u << 20;

uint32_t le32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void putLe32(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

Reply stall()
{
    Reply r;
    r.kind = Reply::Kind::Stall;
    return r;
}

Reply accepted(size_t n)
{
    Reply r;
    r.accepted = uint32_t(n);
    return r;
}

Reply withData(std::vector<uint8_t> data, uint16_t wLength)
{
    if (data.size() > wLength)
        data.resize(wLength);
    Reply r;
    r.data = std::move(data);
    return r;
}

} // namespace

ScreenModel::ScreenModel(const Preset &preset, uint32_t unitSeed)
    : m_preset(preset), m_ident(preset.ident)
{
    // Made on 2024-05-14 10:30:45 in the device ID's own date form; the last
    // two bytes tell units apart.
    const uint8_t id[8] = {0x7C, 0x05, 0x0F, 0x0A, 0x1E, 0x2D, uint8_t(unitSeed >> 8), uint8_t(unitSeed)};
    if (preset.family == Family::K2t) {
        m_config = makeK2tEeprom(preset.sizeCode, preset.variantCode, id);
    } else {
        m_config.assign(kConfigSize, 0xFF);
        std::memcpy(m_config.data() + 0x1FF0, id, 8);
        putLe32(m_config, 0x1FF8, uint32_t(preset.variantCode));
        putLe32(m_config, 0x1FFC, preset.sizeCode);
        m_flash.assign(kFlashSize, 0xFF);
        const auto image = makeTelvImage(makeScreenBlockPayload(unitSeed), unitSeed);
        std::copy(image.begin(), image.end(), m_flash.begin());
        m_telvIdentity = makeTelvIdentity(unitSeed);
    }
}

Mode ScreenModel::mode() const
{
    std::lock_guard lock(m_mutex);
    return m_mode;
}

UsbId ScreenModel::usbId() const
{
    std::lock_guard lock(m_mutex);
    switch (m_mode) {
    case Mode::Running: return kRunningId;
    case Mode::TelvBootLoader: return kTelvBootId;
    case Mode::K2tBootLoader: return kK2tBootId;
    }
    return kRunningId;
}

Reply ScreenModel::control(const Setup &setup, const uint8_t *out, size_t outLength)
{
    std::lock_guard lock(m_mutex);
    RequestRecord rec;
    rec.kind = RequestRecord::Kind::Control;
    rec.setup = setup;
    if (!setup.isIn() && out)
        rec.payload.assign(out, out + outLength);

    Reply reply;
    ++m_requestCount;
    const FilterAction filtered = m_filter ? m_filter(setup, out, outLength) : FilterAction::Pass;
    if (m_faults.silent || filtered == FilterAction::Silent) {
        reply.kind = Reply::Kind::Silent;
    } else if ((m_faults.failEvery > 0 && m_requestCount % uint64_t(m_faults.failEvery) == 0)
               || filtered == FilterAction::Stall) {
        reply = stall();
    } else {
        reply = controlLocked(setup, out, outLength);
    }
    if (reply.kind != Reply::Kind::Done && (setup.request == 0xB6 || setup.request == 0xB7))
        m_bridgeOpen = false; // the host gives up on a transaction it cannot finish
    if (reply.kind == Reply::Kind::Done) {
        if (setup.isIn() && m_faults.shortReply >= 0 && reply.data.size() > size_t(m_faults.shortReply))
            reply.data.resize(size_t(m_faults.shortReply));
    }
    reply.delayMs = filtered == FilterAction::Slow ? std::max(m_faults.delayMs, kSlowAnswerMs) : m_faults.delayMs;
    if (setup.isIn())
        rec.payload = reply.data;
    rec.outcome = reply.kind;
    record(std::move(rec));
    return reply;
}

Reply ScreenModel::controlLocked(const Setup &setup, const uint8_t *out, size_t outLength)
{
    if (setup.requestType != kVendorOut && setup.requestType != kVendorIn)
        return stall();
    if (!setup.isIn() && outLength != setup.length)
        return stall();
    // Boot loaders speak only their own protocols, the firmware only its own.
    switch (m_mode) {
    case Mode::TelvBootLoader: return telvBootControl(setup, out, outLength);
    case Mode::K2tBootLoader: return k2tBootControl(setup, out, outLength);
    case Mode::Running: break;
    }
    if (setup.value != 0 || setup.index != 0)
        return stall();
    return runningControl(setup, out, outLength);
}

// TELV boot loader, vendor requests on interface 0. A flash address is
// wIndex << 16 | wValue.
//   IN  0x50 identity  value 0, index 0: the screen identity in ASCII, no
//                      terminator, cut to wLength
//   OUT 0x51 erase     address of a 4 KiB sector, no data: the sector reads 0xFF
//   OUT 0x52 program   address, 1-4096 data bytes: NOR programming, bits only
//                      go from 1 to 0, so unerased cells keep their zeros
//   IN  0x53 read      address, wLength 1-4096: the flash bytes
//   OUT 0x54 reset     value 0, index 0, no data: leaves the bus and boots the
//                      flash if the boot ROM accepts it, else comes back here
// A range outside the flash, a misaligned erase or a wrong length stalls.
Reply ScreenModel::telvBootControl(const Setup &setup, const uint8_t *out, size_t outLength)
{
    if (m_flash.empty())
        return stall();
    const uint64_t address = uint64_t(setup.index) << 16 | setup.value;
    const uint64_t length = setup.length;
    const bool inFlash = address + length <= m_flash.size();
    if (setup.isIn()) {
        switch (setup.request) {
        case 0x50: {
            if (address != 0)
                return stall();
            std::vector<uint8_t> text(m_telvIdentity.begin(), m_telvIdentity.end());
            if (text.size() > 64)
                text.resize(64);
            return withData(std::move(text), setup.length);
        }
        case 0x53: {
            if (length == 0 || length > kBootChunk || !inFlash)
                return stall();
            const auto from = m_flash.begin() + ptrdiff_t(address);
            return withData(std::vector<uint8_t>(from, from + ptrdiff_t(length)), setup.length);
        }
        default:
            return stall();
        }
    }
    switch (setup.request) {
    case 0x51:
        if (length != 0 || address % kFlashSector != 0 || address + kFlashSector > m_flash.size())
            return stall();
        std::fill_n(m_flash.begin() + ptrdiff_t(address), kFlashSector, uint8_t(0xFF));
        ++m_eraseSteps;
        return accepted(0);
    case 0x52:
        if (length == 0 || length > kBootChunk || !inFlash)
            return stall();
        for (size_t i = 0; i < outLength; ++i)
            m_flash[size_t(address) + i] &= out[i];
        applyCorruption(m_flash, size_t(address), outLength);
        return accepted(outLength);
    case 0x54:
        if (address != 0 || length != 0)
            return stall();
        m_rebootRequested = true;
        return accepted(0);
    default:
        return stall();
    }
}

// K2T/K5TX boot loader, vendor requests on interface 0, EEPROM address in
// wValue, wIndex 0:
//   OUT 0x60 write  1-64 data bytes, replacing the EEPROM's
//   IN  0x61 read   wLength 1-64
// A range outside the 8 KiB EEPROM stalls. The loader has no reset of its
// own: the new image runs after a power cycle.
Reply ScreenModel::k2tBootControl(const Setup &setup, const uint8_t *out, size_t outLength)
{
    const uint64_t address = setup.value;
    const uint64_t length = setup.length;
    if (setup.index != 0 || length == 0 || length > kEepromChunk || address + length > m_config.size())
        return stall();
    if (setup.isIn()) {
        if (setup.request != 0x61)
            return stall();
        const auto from = m_config.begin() + ptrdiff_t(address);
        return withData(std::vector<uint8_t>(from, from + ptrdiff_t(length)), setup.length);
    }
    if (setup.request != 0x60)
        return stall();
    std::copy_n(out, outLength, m_config.begin() + ptrdiff_t(address));
    applyCorruption(m_config, size_t(address), outLength);
    return accepted(outLength);
}

void ScreenModel::applyCorruption(std::vector<uint8_t> &mem, size_t base, size_t count)
{
    if (m_corruption && m_corruption->first >= base && m_corruption->first < base + count) {
        mem[m_corruption->first % mem.size()] ^= m_corruption->second;
        m_corruption.reset();
    }
}

Reply ScreenModel::runningControl(const Setup &setup, const uint8_t *out, size_t outLength)
{
    if (setup.isIn()) {
        switch (setup.request) {
        case 0xA0: {
            std::vector<uint8_t> text(m_ident.begin(), m_ident.end());
            text.push_back(0);
            if (text.size() > 64)
                text.resize(64);
            return withData(std::move(text), setup.length);
        }
        case 0xA6: {
            std::vector<uint8_t> chunk(64, 0);
            for (size_t i = 0; i < 64; ++i) {
                const uint64_t at = uint64_t(m_logOffset) + i;
                if (at < m_log.size())
                    chunk[i] = m_log[size_t(at)];
            }
            return withData(std::move(chunk), setup.length);
        }
        case 0xA7: {
            std::vector<uint8_t> len(4);
            putLe32(len, 0, uint32_t(m_reportedLogLength.value_or(int32_t(m_log.size()))));
            return withData(std::move(len), setup.length);
        }
        case 0xB6:
            m_bridgeNeedsStatus = false;
            if (!m_bridgeNeedsData)
                m_bridgeOpen = false;
            return withData({m_bridgeStatus}, setup.length);
        case 0xB7: {
            m_bridgeOpen = false;
            m_bridgeNeedsData = false;
            std::vector<uint8_t> data(1 + m_bridgeRead.size());
            data[0] = m_bridgeStatus;
            std::copy(m_bridgeRead.begin(), m_bridgeRead.end(), data.begin() + 1);
            return withData(std::move(data), setup.length);
        }
        default:
            return stall();
        }
    }

    switch (setup.request) {
    case 0xA5:
        if (outLength != 4)
            return stall();
        m_logOffset = le32(out);
        return accepted(outLength);
    case 0xAA:
        if (outLength != 1 || out[0] != 0xE5)
            return stall();
        m_rebootRequested = true;
        return accepted(outLength);
    case 0xB0:
        return screenCommand(out, outLength);
    case 0xB5:
        return bridgeCommand(out, outLength);
    case 0xB9:
        if (outLength != 1 || (out[0] != 0xEF && out[0] != 0x00))
            return stall();
        m_programming = out[0] == 0xEF;
        return accepted(outLength);
    case 0xBE: {
        if (outLength != 2 || out[0] != 0xEE || out[1] > 15)
            return stall();
        if (!m_programming || m_flash.empty()) {
            ++m_rejectedWrites;
            return accepted(outLength);
        }
        const size_t part = m_flash.size() / 16;
        std::fill_n(m_flash.begin() + ptrdiff_t(part * out[1]), part, uint8_t(0xFF));
        ++m_eraseSteps;
        return accepted(outLength);
    }
    default:
        return stall();
    }
}

Reply ScreenModel::screenCommand(const uint8_t *out, size_t n)
{
    if (n < 2 || out[0] != 0x00)
        return stall();
    switch (out[1]) {
    case 0x29:
        if (n != 2)
            return stall();
        ++m_stats.displayOn;
        return accepted(n);
    case 0x2C: {
        if (n != 6)
            return stall();
        const uint32_t count = le32(out + 2);
        if (count == 0 || count > kMaxFrameBytes)
            return stall();
        if (m_frameExpected > 0)
            ++m_stats.framesAbandoned;
        ++m_stats.headers;
        m_frameExpected = count;
        m_frameBuilding.clear();
        m_frameBuilding.reserve(count);
        return accepted(n);
    }
    case 0x36:
        if (n != 8 || out[2] != 0x02)
            return stall();
        m_flip = out[6];
        return accepted(n);
    case 0x51:
        if (n != 8 || out[2] != 0x02)
            return stall();
        m_backlight = out[6];
        return accepted(n);
    default:
        return stall();
    }
}

Reply ScreenModel::bridgeCommand(const uint8_t *out, size_t n)
{
    if (n < 3 || n < size_t(3) + out[1])
        return stall();
    const uint8_t target = out[0];
    const uint8_t writeCount = out[1];
    const uint8_t readCount = out[2];
    // A real bridge runs one transaction at a time: a command that arrives
    // before the last one was finished means two threads got mixed up.
    if (m_bridgeOpen) {
        ++m_interleaved;
        m_bridgeOpen = false;
        return stall();
    }
    // The flash read goes straight to its data, without the status step.
    const bool flashRead = target == kConfigTarget && m_preset.family == Family::Telv && writeCount == 3
                           && readCount > 0;
    m_bridgeOpen = true;
    m_bridgeNeedsStatus = !flashRead;
    m_bridgeNeedsData = readCount > 0;
    m_bridgeRead.assign(readCount, 0);
    m_bridgeStatus = 0;
    if (target == kConfigTarget)
        bridgeConfig(writeCount, readCount, out + 3);
    else if (target == kLedTarget)
        bridgeLed(writeCount, readCount, out + 3);
    else
        m_bridgeStatus = 1; // nobody acknowledges on the screen's bus
    return accepted(n);
}

void ScreenModel::bridgeConfig(uint8_t writeCount, uint8_t readCount, const uint8_t *bytes)
{
    // The TELV firmware store takes 24-bit flash addresses and 16-bit
    // configuration addresses; the older family has only its EEPROM.
    const bool flashAddress = m_preset.family == Family::Telv && writeCount >= 3;
    const size_t addressBytes = flashAddress ? 3 : 2;
    if (writeCount < addressBytes) {
        m_bridgeStatus = 1;
        return;
    }
    const uint8_t *data = bytes + addressBytes;
    const size_t dataCount = writeCount - addressBytes;
    std::vector<uint8_t> &mem = flashAddress ? m_flash : m_config;
    const size_t base = flashAddress ? (size_t(bytes[0]) << 16 | size_t(bytes[1]) << 8 | bytes[2])
                                     : (size_t(bytes[0]) << 8 | bytes[1]);
    if (dataCount > 0) {
        if (!m_programming) {
            ++m_rejectedWrites;
        } else if (flashAddress) {
            // NOR programming only clears bits.
            for (size_t i = 0; i < dataCount; ++i)
                mem[(base + i) % mem.size()] &= data[i];
            applyCorruption(mem, base, dataCount);
        } else {
            for (size_t i = 0; i < dataCount; ++i)
                mem[(base + i) % mem.size()] = data[i];
        }
    }
    for (size_t i = 0; i < readCount; ++i)
        m_bridgeRead[i] = mem[(base + i) % mem.size()];
}

void ScreenModel::bridgeLed(uint8_t writeCount, uint8_t readCount, const uint8_t *bytes)
{
    if (writeCount < 1) {
        m_bridgeStatus = 1;
        return;
    }
    const uint8_t first = bytes[0];
    for (size_t i = 0; i + 1 < writeCount; ++i) {
        const uint8_t reg = uint8_t(first + i);
        if (reg == 0xFD)
            m_ledPage = bytes[1 + i];
        else
            m_ledPages[m_ledPage][reg] = bytes[1 + i];
    }
    for (size_t i = 0; i < readCount; ++i) {
        const uint8_t reg = uint8_t(first + i);
        m_bridgeRead[i] = reg == 0xFD ? m_ledPage : m_ledPages[m_ledPage][reg];
    }
}

Reply ScreenModel::bulkOut(uint8_t endpoint, const uint8_t *data, size_t length)
{
    std::lock_guard lock(m_mutex);
    RequestRecord rec;
    rec.kind = RequestRecord::Kind::BulkOut;
    rec.bulkLength = uint32_t(length);

    Reply reply;
    ++m_requestCount;
    if (m_faults.silent) {
        reply.kind = Reply::Kind::Silent;
    } else if ((m_faults.failEvery > 0 && m_requestCount % uint64_t(m_faults.failEvery) == 0)
               || m_mode != Mode::Running || endpoint != 0x02) {
        reply = stall();
    } else {
        size_t take = length;
        if (m_faults.bulkAccept >= 0)
            take = std::min(take, size_t(m_faults.bulkAccept));
        reply = accepted(take);
        if (m_frameExpected > m_frameBuilding.size()) {
            const size_t room = size_t(m_frameExpected - m_frameBuilding.size());
            const size_t part = std::min(room, take);
            m_frameBuilding.insert(m_frameBuilding.end(), data, data + part);
            m_stats.overrunBytes += take - part;
            if (m_frameBuilding.size() == m_frameExpected) {
                m_lastFrame.swap(m_frameBuilding);
                m_frameBuilding.clear();
                m_frameExpected = 0;
                ++m_frameSerial;
                ++m_stats.framesComplete;
            }
        } else {
            ++m_stats.rawBulkTransfers;
            m_stats.rawBulkBytes += take;
            m_lastRawBulk.assign(data, data + take);
        }
    }
    reply.delayMs = m_faults.delayMs;
    rec.outcome = reply.kind;
    record(std::move(rec));
    return reply;
}

std::optional<TouchReport> ScreenModel::takeTouchReport()
{
    std::lock_guard lock(m_mutex);
    if (m_mode != Mode::Running || m_faults.silent || m_touches.empty())
        return std::nullopt;
    TouchReport r = m_touches.front();
    m_touches.pop_front();
    return r;
}

bool ScreenModel::touchEndpointServed() const
{
    std::lock_guard lock(m_mutex);
    return m_mode == Mode::Running && !m_faults.silent;
}

bool ScreenModel::takeRebootRequest()
{
    std::lock_guard lock(m_mutex);
    return std::exchange(m_rebootRequested, false);
}

void ScreenModel::powerUp()
{
    std::lock_guard lock(m_mutex);
    if (m_preset.family == Family::Telv)
        m_mode = telvImageBootable(m_flash) ? Mode::Running : Mode::TelvBootLoader;
    else
        m_mode = k2tEepromBootable(m_config) ? Mode::Running : Mode::K2tBootLoader;
    m_programming = false;
    m_flip.reset();
    m_backlight.reset();
    m_frameExpected = 0;
    m_frameBuilding.clear();
    m_bridgeRead.clear();
    m_bridgeStatus = 0;
    m_bridgeOpen = false;
    m_ledPages.clear();
    m_ledPage = 0;
    m_touches.clear();
    m_logOffset = 0;
}

void ScreenModel::setTouchListener(std::function<void()> listener)
{
    std::lock_guard lock(m_mutex);
    m_touchListener = std::move(listener);
}

void ScreenModel::injectTouch(int rawX, int rawY, int eventFlag)
{
    TouchReport r{};
    r[0] = 0x01; // report ID
    r[2] = 0x01; // one contact
    r[3] = uint8_t((eventFlag & 3) << 6 | ((rawX >> 8) & 0x0F));
    r[4] = uint8_t(rawX & 0xFF);
    r[5] = uint8_t((rawY >> 8) & 0x0F);
    r[6] = uint8_t(rawY & 0xFF);
    queueTouch(r);
}

void ScreenModel::injectTouchReport(const TouchReport &report)
{
    queueTouch(report);
}

void ScreenModel::queueTouch(const TouchReport &report)
{
    std::function<void()> listener;
    {
        std::lock_guard lock(m_mutex);
        m_touches.push_back(report);
        listener = m_touchListener;
    }
    if (listener)
        listener();
}

std::pair<int, int> ScreenModel::rawTouchForPicturePoint(int x, int y) const
{
    const Preset &p = m_preset;
    const int w = p.panelWidth;
    const int h = p.panelHeight;
    int minor;
    {
        std::lock_guard lock(m_mutex);
        const auto pos = m_ident.find("v0.");
        minor = pos == std::string::npos ? 0 : std::atoi(m_ident.c_str() + pos + 3);
    }
    const bool telv = p.family == Family::Telv;
    int rx;
    int ry;
    // The touch controller's axes as each panel is built, so that the host's
    // mapping lands on the picture point that was touched.
    // NOLINTNEXTLINE(bugprone-branch-clone): one branch per mount, tried in order; equal bodies are equal mounts.
    if ((p.rotationCode == 1 && !telv && p.sizeCode == 7)) {
        rx = w - x, ry = h - y;
    } else if ((p.rotationCode == 1 && !telv) || p.sizeCode == 0x403) {
        rx = h - x, ry = w - y;
    } else if (p.sizeCode == 7) {
        rx = w - x, ry = minor > 16 ? y : h - y;
    } else if (p.sizeCode == 10) {
        rx = x, ry = y;
    } else if (p.sizeCode == 8) {
        rx = w - x, ry = h - y;
    } else if (p.sizeCode == 0x807) {
        rx = y, ry = h - x;
    } else {
        rx = w - y, ry = x;
    }
    return {std::clamp(rx, 0, 4095), std::clamp(ry, 0, 4095)};
}

void ScreenModel::setFaults(const Faults &faults)
{
    std::lock_guard lock(m_mutex);
    m_faults = faults;
}

Faults ScreenModel::faults() const
{
    std::lock_guard lock(m_mutex);
    return m_faults;
}

void ScreenModel::setRequestFilter(RequestFilter filter)
{
    std::lock_guard lock(m_mutex);
    m_filter = std::move(filter);
}

void ScreenModel::corruptNextProgramAt(uint32_t address, uint8_t mask)
{
    std::lock_guard lock(m_mutex);
    m_corruption = std::make_pair(address, mask);
}

void ScreenModel::setIdent(const std::string &ident)
{
    std::lock_guard lock(m_mutex);
    m_ident = ident;
}

std::string ScreenModel::telvIdentity() const
{
    std::lock_guard lock(m_mutex);
    return m_telvIdentity;
}

void ScreenModel::setTelvIdentity(const std::string &identity)
{
    std::lock_guard lock(m_mutex);
    m_telvIdentity = identity;
}

void ScreenModel::setMode(Mode mode)
{
    std::lock_guard lock(m_mutex);
    m_mode = mode;
}

void ScreenModel::setLog(const std::vector<uint8_t> &log)
{
    std::lock_guard lock(m_mutex);
    m_log = log;
}

void ScreenModel::setReportedLogLength(std::optional<int32_t> length)
{
    std::lock_guard lock(m_mutex);
    m_reportedLogLength = length;
}

void ScreenModel::setRebootDelayMs(int ms)
{
    std::lock_guard lock(m_mutex);
    m_rebootDelayMs = ms;
}

int ScreenModel::rebootDelayMs() const
{
    std::lock_guard lock(m_mutex);
    return m_rebootDelayMs;
}

std::vector<uint8_t> ScreenModel::config() const
{
    std::lock_guard lock(m_mutex);
    return m_config;
}

void ScreenModel::setConfig(size_t address, const std::vector<uint8_t> &bytes)
{
    std::lock_guard lock(m_mutex);
    for (size_t i = 0; i < bytes.size(); ++i)
        m_config[(address + i) % m_config.size()] = bytes[i];
}

std::vector<uint8_t> ScreenModel::flash() const
{
    std::lock_guard lock(m_mutex);
    return m_flash;
}

void ScreenModel::setFlash(const std::vector<uint8_t> &bytes)
{
    std::lock_guard lock(m_mutex);
    m_flash.assign(kFlashSize, 0xFF);
    std::copy_n(bytes.begin(), std::min(bytes.size(), kFlashSize), m_flash.begin());
}

uint32_t ScreenModel::config32(size_t address) const
{
    return le32(m_config.data() + address);
}

std::array<uint8_t, 8> ScreenModel::deviceId() const
{
    std::lock_guard lock(m_mutex);
    std::array<uint8_t, 8> id{};
    std::copy_n(m_config.begin() + 0x1FF0, 8, id.begin());
    return id;
}

uint32_t ScreenModel::sizeCode() const
{
    std::lock_guard lock(m_mutex);
    return config32(0x1FFC);
}

int32_t ScreenModel::variantCode() const
{
    std::lock_guard lock(m_mutex);
    return int32_t(config32(0x1FF8));
}

bool ScreenModel::programming() const
{
    std::lock_guard lock(m_mutex);
    return m_programming;
}

std::optional<int> ScreenModel::flip() const
{
    std::lock_guard lock(m_mutex);
    return m_flip;
}

std::optional<int> ScreenModel::backlight() const
{
    std::lock_guard lock(m_mutex);
    return m_backlight;
}

uint8_t ScreenModel::ledRegister(uint8_t page, uint8_t reg) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_ledPages.find(page);
    return it == m_ledPages.end() ? 0 : it->second[reg];
}

uint8_t ScreenModel::ledPage() const
{
    std::lock_guard lock(m_mutex);
    return m_ledPage;
}

std::vector<uint8_t> ScreenModel::lastRawBulk() const
{
    std::lock_guard lock(m_mutex);
    return m_lastRawBulk;
}

std::vector<uint8_t> ScreenModel::lastFrame() const
{
    std::lock_guard lock(m_mutex);
    return m_lastFrame;
}

uint64_t ScreenModel::frameSerial() const
{
    std::lock_guard lock(m_mutex);
    return m_frameSerial;
}

FrameStats ScreenModel::frameStats() const
{
    std::lock_guard lock(m_mutex);
    return m_stats;
}

std::vector<uint16_t> ScreenModel::shownPicture(int *width, int *height) const
{
    const int w = m_preset.pictureWidth();
    const int h = m_preset.pictureHeight();
    const size_t lead = size_t(m_preset.frameLead());
    *width = w;
    *height = h;
    std::vector<uint8_t> frame = lastFrame();
    if (frame.size() != size_t(w) * size_t(h) * 2)
        return {};
    // The older 5-inch panels skip the lead: the picture starts after it and
    // its last pixels never arrive.
    auto px = [&](size_t index) -> uint16_t {
        const size_t at = lead + index * 2;
        return at + 1 < frame.size() ? uint16_t(frame[at] | frame[at + 1] << 8) : 0;
    };
    std::vector<uint16_t> pic(size_t(w) * size_t(h));
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            size_t src = 0;
            switch (m_preset.mount()) {
            case Mount::MirrorVertical: src = size_t(h - 1 - y) * size_t(w) + size_t(x); break;
            case Mount::HalfTurn: src = size_t(h - 1 - y) * size_t(w) + size_t(w - 1 - x); break;
            case Mount::QuarterTurn90: src = size_t(x) * size_t(h) + size_t(h - 1 - y); break;
            case Mount::QuarterTurn270: src = size_t(w - 1 - x) * size_t(h) + size_t(y); break;
            }
            pic[size_t(y) * size_t(w) + size_t(x)] = px(src);
        }
    }
    return pic;
}

uint64_t ScreenModel::eraseSteps() const
{
    std::lock_guard lock(m_mutex);
    return m_eraseSteps;
}

uint64_t ScreenModel::interleavedTransactions() const
{
    std::lock_guard lock(m_mutex);
    return m_interleaved;
}

uint64_t ScreenModel::rejectedWrites() const
{
    std::lock_guard lock(m_mutex);
    return m_rejectedWrites;
}

std::vector<RequestRecord> ScreenModel::requests() const
{
    std::lock_guard lock(m_mutex);
    return {m_requests.begin(), m_requests.end()};
}

void ScreenModel::clearRequests()
{
    std::lock_guard lock(m_mutex);
    m_requests.clear();
}

void ScreenModel::record(RequestRecord r)
{
    if (m_requests.size() >= kMaxRecords)
        m_requests.pop_front();
    m_requests.push_back(std::move(r));
}

} // namespace sim
