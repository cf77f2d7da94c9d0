#include "touchchannel.h"

#include "frameshare.h"
#include "platform.h"

#include <QtEndian>

#include <ctime>

namespace monitor {

namespace {

constexpr uint32_t kMagic = 0x31484354; // "TCH1"

} // namespace

std::array<uint8_t, kTouchMessageSize> encodeTouch(const Touch &touch)
{
    std::array<uint8_t, kTouchMessageSize> bytes{};
    qToLittleEndian<uint32_t>(kMagic, bytes.data());
    qToLittleEndian<int32_t>(touch.x, bytes.data() + 4);
    qToLittleEndian<int32_t>(touch.y, bytes.data() + 8);
    qToLittleEndian<uint32_t>(touch.lifted ? 1 : 0, bytes.data() + 12);
    qToLittleEndian<int64_t>(touch.sentNs, bytes.data() + 16);
    return bytes;
}

std::optional<Touch> decodeTouch(const uint8_t *bytes, size_t size)
{
    if (size != kTouchMessageSize || qFromLittleEndian<uint32_t>(bytes) != kMagic)
        return std::nullopt;
    const uint32_t flags = qFromLittleEndian<uint32_t>(bytes + 12);
    if (flags > 1)
        return std::nullopt;
    Touch touch;
    touch.x = qFromLittleEndian<int32_t>(bytes + 4);
    touch.y = qFromLittleEndian<int32_t>(bytes + 8);
    touch.lifted = flags == 1;
    touch.sentNs = qFromLittleEndian<int64_t>(bytes + 16);
    return touch;
}

std::string defaultTouchChannelName()
{
    return platform::userObjectName("TELV_TOUCH");
}

std::string touchChannelName(const QString &key)
{
    if (!namesPerScreen())
        return defaultTouchChannelName();
    if (!validScreenKey(key))
        return {};
    return platform::userObjectName("TELV_TOUCH-" + key.toStdString());
}

std::string touchChannelNameFromEnvironment()
{
    if (!qEnvironmentVariableIsSet(kScreenKeyVariable))
        return defaultTouchChannelName();
    return touchChannelName(qEnvironmentVariable(kScreenKeyVariable));
}

int64_t monotonicNanos()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

bool TouchSender::send(int x, int y, bool lifted, std::string *why)
{
    const auto bytes = encodeTouch({x, y, lifted, monotonicNanos()});
    return m_channel.send(bytes.data(), bytes.size(), why);
}

std::unique_ptr<TouchReceiver> TouchReceiver::open(const std::string &name, std::string *why)
{
    std::unique_ptr<platform::DatagramReceiver> channel = platform::DatagramReceiver::open(name, why);
    if (!channel)
        return nullptr;
    return std::unique_ptr<TouchReceiver>(new TouchReceiver(std::move(channel)));
}

std::optional<Touch> TouchReceiver::receive(int timeoutMs)
{
    std::array<uint8_t, kTouchMessageSize> bytes{};
    if (!m_channel->receive(bytes.data(), bytes.size(), timeoutMs))
        return std::nullopt;
    return decodeTouch(bytes.data(), bytes.size());
}

} // namespace monitor
