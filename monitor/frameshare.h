#pragma once

#include "sharedmemory.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <memory>

// The frame share: the named memory in which the frame driver publishes
// desktop pictures, and the named event it sets for each one.
//
// Layout, every field a little-endian signed 32-bit number:
//   0  width   picture width in pixels     (written by the monitor side)
//   4  height  picture height in pixels    (written by the monitor side)
//   8  rate    pictures a second at most   (written by the monitor side)
//  12  stride  bytes per pixel row         (written by the driver)
//  16  pixels  height rows of stride bytes, 4 bytes a pixel in memory order
//              blue, green, red, alpha (alpha ignored)
//
// On Linux each user has a share of their own (see
// platform::userObjectName()); on Windows it is open to every user. Either
// way another program writes it, so whatever its header says is checked
// before pixels are read by it.
namespace monitor {

inline constexpr size_t kFrameShareSize = 0x800000;
inline constexpr size_t kShareHeaderSize = 16;
inline constexpr size_t kPixelAreaSize = kFrameShareSize - kShareHeaderSize;

// The names the monitor side and the frame driver meet at: the caller's
// own "TELV_FRAME_SHARE" and "TELV_FRAME_EVENT".
QString defaultShareName();
QString defaultEventName();

// The variable in which the monitor side names the screen a driver serves.
inline constexpr char kScreenKeyVariable[] = "TAVRIK_SCREEN_KEY";

// Whether each screen gets names of its own: on Linux, where our own
// driver serves any number of screens at once; not on Windows, whose
// vendor driver knows only the defaults.
bool namesPerScreen();
// A key the names may be built from: letters, digits and "@._-", at most
// 64 of them.
bool validScreenKey(const QString &key);

struct FrameShareNames {
    QString memory = defaultShareName();
    QString event = defaultEventName();

    // The screen's own names where namesPerScreen(), else the defaults.
    // Empty names for a key that is not valid, which nothing can open.
    static FrameShareNames forScreen(const QString &key);
    // The driver's: those of the screen named in kScreenKeyVariable, the
    // defaults when it names none.
    static FrameShareNames fromEnvironment();
};

// The environment variable in which the monitor side tells the driver it
// starts its own process ID, so that the driver can tell whether the
// program that started it is still there.
inline constexpr char kParentPidVariable[] = "TAVRIK_PARENT_PID";

class FrameShare {
public:
    FrameShare(std::unique_ptr<platform::SharedMemory> memory, std::unique_ptr<platform::NamedEvent> event);

    int32_t width() const { return field(0); }
    int32_t height() const { return field(4); }
    int32_t rate() const { return field(8); }
    int32_t stride() const { return field(12); }
    // Width, height and the rate that follows from them.
    void writeSize(int32_t width, int32_t height);
    void setStride(int32_t stride) { setField(12, stride); }

    uint8_t *pixels() const { return m_memory->data() + kShareHeaderSize; }
    platform::NamedEvent &event() const { return *m_event; }
    // Whether another process cut the memory or the event short while it
    // was open: what was read since is not the driver's, and nothing more
    // comes through. Looked at after each access; the share is then closed.
    bool broken() const { return m_memory->broken() || m_event->broken(); }

private:
    int32_t field(size_t offset) const;
    void setField(size_t offset, int32_t value);

    std::unique_ptr<platform::SharedMemory> m_memory;
    std::unique_ptr<platform::NamedEvent> m_event;
};

// Opens the share and its event, creating them when nobody has yet. Null
// when either cannot be had or is refused (another user's, open to others,
// not a regular file); nothing stays open then, and `why`, when given,
// names the object and the reason in a sentence.
std::unique_ptr<FrameShare> openFrameShare(const FrameShareNames &names = {}, QString *why = nullptr);
void closeFrameShare(std::unique_ptr<FrameShare> &share);

enum class FrameWait { Picture, TimedOut, Failed };
// Waits at most `timeoutMs` (no limit when negative) for the driver's next
// picture; it then lies at share.pixels().
FrameWait waitFrame(FrameShare &share, int timeoutMs);

// Driver side: writes the stride, copies `height` rows of `stride` bytes to
// the pixel area, then sets the event. Refuses a picture that does not fit;
// false also when the share turned out broken.
bool publishFrame(FrameShare &share, const uint8_t *picture, int32_t stride, int32_t height);

// 13824000 / width / height in integer steps, at least 24; 0 for a size that
// is not positive.
int32_t frameRate(int32_t width, int32_t height);

// Whether `height` rows of `stride` bytes, showing `width` pixels each, lie
// inside the pixel area.
bool pictureFits(int64_t stride, int64_t width, int64_t height);

} // namespace monitor
