#pragma once

#include "datagram.h"

#include <QString>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// The touch channel: touches read from the screen go from the program that
// holds it to the frame driver, which hands them to the desktop where the
// screen shows it. Beside the frame share and, like it, the user's own.
//
// Message, 24 bytes, little-endian:
//   0  magic "TCH1"
//   4  x        picture pixels, the panel's picture upright
//   8  y
//  12  flags    bit 0: the finger left the glass (else it touches it)
//  16  sent     when it was sent, in nanoseconds of CLOCK_MONOTONIC
namespace monitor {

// The caller's own "TELV_TOUCH".
std::string defaultTouchChannelName();
// The channel of the screen `key` names, as the frame share's names are
// chosen (FrameShareNames::forScreen); empty for a key that is not valid.
std::string touchChannelName(const QString &key);
// The driver's: that of the screen named in kScreenKeyVariable, else the
// default.
std::string touchChannelNameFromEnvironment();
inline constexpr size_t kTouchMessageSize = 24;

struct Touch {
    int32_t x = 0;
    int32_t y = 0;
    bool lifted = false;
    int64_t sentNs = 0;
};

std::array<uint8_t, kTouchMessageSize> encodeTouch(const Touch &touch);
// Null for anything but a message as above.
std::optional<Touch> decodeTouch(const uint8_t *bytes, size_t size);
int64_t monotonicNanos();

class TouchSender {
public:
    explicit TouchSender(const std::string &name = defaultTouchChannelName()) : m_channel(name) {}
    // Stamps and sends; false with `why` when no driver of the user's own
    // takes touches now.
    bool send(int x, int y, bool lifted, std::string *why = nullptr);

private:
    platform::DatagramSender m_channel;
};

class TouchReceiver {
public:
    static std::unique_ptr<TouchReceiver> open(const std::string &name = defaultTouchChannelName(),
                                               std::string *why = nullptr);
    // The next touch within `timeoutMs`; null on timeout or for a message
    // that was dropped.
    std::optional<Touch> receive(int timeoutMs);

private:
    explicit TouchReceiver(std::unique_ptr<platform::DatagramReceiver> channel) : m_channel(std::move(channel)) {}
    std::unique_ptr<platform::DatagramReceiver> m_channel;
};

} // namespace monitor
