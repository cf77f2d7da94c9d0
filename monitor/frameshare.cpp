#include "frameshare.h"

#include "platform.h"

#include <QtEndian>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

namespace monitor {

namespace {

constexpr int32_t kRateBudget = 13824000;
constexpr int32_t kMinimumRate = 24;

} // namespace

FrameShare::FrameShare(std::unique_ptr<platform::SharedMemory> memory, std::unique_ptr<platform::NamedEvent> event)
    : m_memory(std::move(memory)), m_event(std::move(event))
{
}

// The header is shared with another process that writes it whenever it
// likes: every access is one whole, untorn 32-bit load or store.
int32_t FrameShare::field(size_t offset) const
{
    auto *word = reinterpret_cast<uint32_t *>(m_memory->data() + offset);
    return int32_t(qFromLittleEndian(std::atomic_ref<uint32_t>(*word).load(std::memory_order_relaxed)));
}

void FrameShare::setField(size_t offset, int32_t value)
{
    auto *word = reinterpret_cast<uint32_t *>(m_memory->data() + offset);
    std::atomic_ref<uint32_t>(*word).store(qToLittleEndian(uint32_t(value)), std::memory_order_relaxed);
}

void FrameShare::writeSize(int32_t width, int32_t height)
{
    setField(0, width);
    setField(4, height);
    setField(8, frameRate(width, height));
}

QString defaultShareName()
{
    return QString::fromStdString(platform::userObjectName("TELV_FRAME_SHARE"));
}

QString defaultEventName()
{
    return QString::fromStdString(platform::userObjectName("TELV_FRAME_EVENT"));
}

bool namesPerScreen()
{
#ifdef _WIN32
    return false;
#else
    return true;
#endif
}

bool validScreenKey(const QString &key)
{
    constexpr qsizetype kLongest = 64;
    if (key.isEmpty() || key.size() > kLongest)
        return false;
    return std::all_of(key.begin(), key.end(), [](QChar c) {
        return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9')
               || c == u'@' || c == u'.' || c == u'_' || c == u'-';
    });
}

FrameShareNames FrameShareNames::forScreen(const QString &key)
{
    if (!namesPerScreen())
        return {};
    if (!validScreenKey(key))
        return {QString(), QString()};
    const auto named = [&key](const char *base) {
        return QString::fromStdString(platform::userObjectName(base + ("-" + key.toStdString())));
    };
    return {named("TELV_FRAME_SHARE"), named("TELV_FRAME_EVENT")};
}

FrameShareNames FrameShareNames::fromEnvironment()
{
    if (!qEnvironmentVariableIsSet(kScreenKeyVariable))
        return {};
    return forScreen(qEnvironmentVariable(kScreenKeyVariable));
}

namespace {

void refused(QString *why, const char *what, const std::string &reason)
{
    if (why)
        *why = QStringLiteral("The %1 %2; monitor mode will not use it.")
                   .arg(QLatin1String(what), QString::fromStdString(reason));
}

} // namespace

std::unique_ptr<FrameShare> openFrameShare(const FrameShareNames &names, QString *why)
{
    std::string reason;
    auto memory = platform::SharedMemory::open(names.memory.toStdString(), kFrameShareSize, &reason);
    if (!memory) {
        refused(why, "frame share", reason);
        return nullptr;
    }
    auto event = platform::NamedEvent::open(names.event.toStdString(), &reason);
    if (!event) {
        refused(why, "frame event", reason);
        return nullptr;
    }
    return std::make_unique<FrameShare>(std::move(memory), std::move(event));
}

void closeFrameShare(std::unique_ptr<FrameShare> &share)
{
    share.reset();
}

FrameWait waitFrame(FrameShare &share, int timeoutMs)
{
    switch (share.event().wait(timeoutMs)) {
    case platform::NamedEvent::Wait::Signalled:
        return FrameWait::Picture;
    case platform::NamedEvent::Wait::TimedOut:
        return FrameWait::TimedOut;
    case platform::NamedEvent::Wait::Failed:
        break;
    }
    return FrameWait::Failed;
}

bool publishFrame(FrameShare &share, const uint8_t *picture, int32_t stride, int32_t height)
{
    if (!picture || !pictureFits(stride, 1, height))
        return false;
    share.setStride(stride);
    std::memcpy(share.pixels(), picture, size_t(stride) * size_t(height));
    if (share.broken())
        return false;
    share.event().set();
    return !share.broken();
}

int32_t frameRate(int32_t width, int32_t height)
{
    if (width <= 0 || height <= 0)
        return 0;
    return std::max(kRateBudget / width / height, kMinimumRate);
}

bool pictureFits(int64_t stride, int64_t width, int64_t height)
{
    // All in 64 bits: header values near the int32 limits must not wrap.
    if (width <= 0 || height <= 0 || width > INT32_MAX || height > INT32_MAX || stride > INT32_MAX)
        return false;
    if (stride < width * 4)
        return false;
    return stride * height <= int64_t(kPixelAreaSize);
}

} // namespace monitor
