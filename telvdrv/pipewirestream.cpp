#include "pipewirestream.h"

#include "castframes.h"

#include <cstdio>
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <vector>

#include <unistd.h>

// SPA's builder and interface macros are C: compound literals, statement
// expressions and casts of the old kind.
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wold-style-cast"
#ifdef __clang__
#pragma clang diagnostic ignored "-Wc99-extensions"
#pragma clang diagnostic ignored "-Wgnu-statement-expression"
#endif

namespace telvdrv {

namespace {

constexpr int kLargestSide = 16384;
constexpr uint32_t kMostDamageRegions = 16;
// A stream is linked within milliseconds; one still unlinked after this
// never will be (a remote that died before we listened, say).
constexpr auto kLinkTimeout = std::chrono::seconds(5);

} // namespace

struct PipeWireStream::State {
    // Touched on the caller's thread, with the loop locked.
    pw_thread_loop *loop = nullptr;
    pw_context *context = nullptr;
    pw_core *core = nullptr;
    pw_stream *stream = nullptr;
    spa_hook coreListener{};
    spa_hook streamListener{};

    // Shared with PipeWire's thread.
    std::mutex mutex;
    std::condition_variable changed;
    CastFrames frames;
    std::vector<uint8_t> newest; // rows of width * 4 bytes
    int newestWidth = 0;
    int newestHeight = 0;
    bool fresh = false;
    bool over = false;
    bool linked = false;
    std::string lastRefusal; // said once, not at every frame
    std::chrono::steady_clock::time_point connectedAt;

    // The caller's side of the newest picture, swapped in by grab().
    std::vector<uint8_t> front;
    int frontWidth = 0;
    int frontHeight = 0;

    void end()
    {
        {
            const std::lock_guard lock(mutex);
            over = true;
        }
        changed.notify_all();
    }

    void skip(const spa_buffer *buffer)
    {
        const std::lock_guard lock(mutex);
        frames.skip(buffer);
    }
    void take(const spa_buffer *buffer);
};

namespace {

void onProcess(void *data)
{
    auto *s = static_cast<PipeWireStream::State *>(data);
    // Only the newest is copied; the others count for what they changed.
    pw_buffer *newest = nullptr;
    while (pw_buffer *b = pw_stream_dequeue_buffer(s->stream)) {
        if (newest) {
            s->skip(newest->buffer);
            pw_stream_queue_buffer(s->stream, newest);
        }
        newest = b;
    }
    if (!newest)
        return;
    s->take(newest->buffer);
    pw_stream_queue_buffer(s->stream, newest);
}

void onParamChanged(void *data, uint32_t id, const spa_pod *param)
{
    auto *s = static_cast<PipeWireStream::State *>(data);
    if (!param || id != SPA_PARAM_Format)
        return;
    uint32_t mediaType = 0;
    uint32_t mediaSubtype = 0;
    spa_video_info_raw info{};
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video
        || mediaSubtype != SPA_MEDIA_SUBTYPE_raw || spa_format_video_raw_parse(param, &info) < 0)
        return;
    {
        const std::lock_guard lock(s->mutex);
        const bool usable = (info.format == SPA_VIDEO_FORMAT_BGRx || info.format == SPA_VIDEO_FORMAT_BGRA)
                            && info.size.width > 0 && info.size.height > 0 && info.size.width <= kLargestSide
                            && info.size.height <= kLargestSide;
        s->frames.setFormat(usable ? int(info.size.width) : 0, usable ? int(info.size.height) : 0);
        // Grown here, not per frame.
        const size_t bytes = size_t(s->frames.width()) * 4 * size_t(s->frames.height());
        if (s->newest.size() < bytes)
            s->newest.resize(bytes);
    }

    uint8_t space[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(space, sizeof space);
    const spa_pod *params[3];
    // Memory the driver can read: a shared segment or a mapped memfd.
    params[0] = static_cast<const spa_pod *>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd))));
    params[1] = static_cast<const spa_pod *>(
        spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                                   SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
    params[2] = static_cast<const spa_pod *>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoDamage),
        SPA_PARAM_META_size,
        SPA_POD_CHOICE_RANGE_Int(int(sizeof(spa_meta_region) * kMostDamageRegions), int(sizeof(spa_meta_region)),
                                 int(sizeof(spa_meta_region) * kMostDamageRegions))));
    pw_stream_update_params(s->stream, params, 3);
}

void onStateChanged(void *data, pw_stream_state, pw_stream_state state, const char *)
{
    auto *s = static_cast<PipeWireStream::State *>(data);
    if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) {
        s->end();
    } else if (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING) {
        const std::lock_guard lock(s->mutex);
        s->linked = true;
    }
}

void onCoreError(void *data, uint32_t id, int, int, const char *)
{
    // The remote went away (the compositor ended the cast).
    if (id == PW_ID_CORE)
        static_cast<PipeWireStream::State *>(data)->end();
}

const pw_stream_events kStreamEvents = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = onStateChanged;
    e.param_changed = onParamChanged;
    e.process = onProcess;
    return e;
}();

const pw_core_events kCoreEvents = [] {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.error = onCoreError;
    return e;
}();

} // namespace

void PipeWireStream::State::take(const spa_buffer *buffer)
{
    std::unique_lock lock(mutex);
    std::string why;
    switch (frames.take(buffer, newest, &why)) {
    case CastFrames::Outcome::Unchanged:
        return;
    case CastFrames::Outcome::Refused:
        // What was copied before the refusal may be half overwritten.
        fresh = false;
        if (why != lastRefusal)
            std::fprintf(stderr, "telvdrv: a screen-cast buffer was skipped: %s\n", why.c_str());
        lastRefusal = why;
        return;
    case CastFrames::Outcome::Taken:
        break;
    }
    newestWidth = frames.width();
    newestHeight = frames.height();
    fresh = true;
    lock.unlock();
    changed.notify_all();
}

std::unique_ptr<PipeWireStream> PipeWireStream::connect(int fd, uint32_t node, int width, int height,
                                                        bool virtualMonitor, std::string *why)
{
    pw_init(nullptr, nullptr);
    auto state = std::make_unique<State>();
    // Owns what is made from here on, also on the way out below.
    std::unique_ptr<PipeWireStream> result(new PipeWireStream(std::move(state)));
    State &s = *result->m_state;
    s.loop = pw_thread_loop_new("telvdrv-cast", nullptr);
    if (!s.loop) {
        close(fd);
        *why = "cannot make PipeWire's loop";
        return nullptr;
    }
    s.context = pw_context_new(pw_thread_loop_get_loop(s.loop), nullptr, 0);
    if (!s.context || pw_thread_loop_start(s.loop) < 0) {
        close(fd);
        *why = "cannot start PipeWire";
        return nullptr;
    }
    pw_thread_loop_lock(s.loop);
    s.core = pw_context_connect_fd(s.context, fd, nullptr, 0);
    if (!s.core) {
        pw_thread_loop_unlock(s.loop);
        *why = "cannot reach the screen cast's PipeWire remote";
        return nullptr;
    }
    pw_core_add_listener(s.core, &s.coreListener, &kCoreEvents, &s);
    s.stream = pw_stream_new(s.core, "telvdrv",
                             pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                               PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    if (!s.stream) {
        pw_thread_loop_unlock(s.loop);
        *why = "cannot make a PipeWire stream";
        return nullptr;
    }
    pw_stream_add_listener(s.stream, &s.streamListener, &kStreamEvents, &s);

    uint8_t space[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(space, sizeof space);
    // A virtual monitor is made as large as the format says: the screen's
    // size exactly, first. Any size comes second, for a compositor that
    // makes virtual monitors of a size of its own (KDE Plasma), and always
    // for a real monitor: such pictures are letterboxed later.
    const spa_rectangle wanted = SPA_RECTANGLE(uint32_t(width), uint32_t(height));
    const spa_rectangle smallest = SPA_RECTANGLE(1, 1);
    const spa_rectangle largest = SPA_RECTANGLE(uint32_t(kLargestSide), uint32_t(kLargestSide));
    const auto videoFormat = [&b, &wanted](const spa_rectangle &from, const spa_rectangle &to) {
        return static_cast<const spa_pod *>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
            SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
            SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA),
            SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&wanted, &from, &to)));
    };
    std::vector<const spa_pod *> formats;
    if (virtualMonitor)
        formats.push_back(videoFormat(wanted, wanted));
    formats.push_back(videoFormat(smallest, largest));
    // Without DONT_RECONNECT a stream whose source went away (the user
    // stopped sharing) only pauses, waiting for one that never comes.
    s.connectedAt = std::chrono::steady_clock::now();
    const int connected =
        pw_stream_connect(s.stream, PW_DIRECTION_INPUT, node,
                          pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS
                                          | PW_STREAM_FLAG_DONT_RECONNECT),
                          formats.data(), uint32_t(formats.size()));
    pw_thread_loop_unlock(s.loop);
    if (connected < 0) {
        *why = "PipeWire refused the stream: " + std::generic_category().message(-connected);
        return nullptr;
    }
    return result;
}

PipeWireStream::PipeWireStream(std::unique_ptr<State> state) : m_state(std::move(state)) {}

PipeWireStream::~PipeWireStream()
{
    State &s = *m_state;
    if (s.loop) {
        pw_thread_loop_lock(s.loop);
        if (s.stream) {
            spa_hook_remove(&s.streamListener);
            pw_stream_destroy(s.stream);
        }
        if (s.core) {
            spa_hook_remove(&s.coreListener);
            pw_core_disconnect(s.core);
        }
        pw_thread_loop_unlock(s.loop);
        pw_thread_loop_stop(s.loop);
    }
    if (s.context)
        pw_context_destroy(s.context);
    if (s.loop)
        pw_thread_loop_destroy(s.loop);
    pw_deinit();
}

bool PipeWireStream::waitForChange(int ms)
{
    State &s = *m_state;
    std::unique_lock lock(s.mutex);
    s.changed.wait_for(lock, std::chrono::milliseconds(ms), [&s] { return s.fresh || s.over; });
    return s.fresh;
}

Picture PipeWireStream::grab()
{
    State &s = *m_state;
    Picture picture;
    const std::lock_guard lock(s.mutex);
    if (s.fresh) {
        // The newest becomes ours; PipeWire's thread writes into the other.
        s.front.swap(s.newest);
        s.frontWidth = s.newestWidth;
        s.frontHeight = s.newestHeight;
        const size_t bytes = size_t(s.frames.width()) * 4 * size_t(s.frames.height());
        if (s.newest.size() < bytes)
            s.newest.resize(bytes);
        s.fresh = false;
    }
    if (s.frontWidth == 0)
        return picture;
    picture.pixels = s.front.data();
    picture.width = s.frontWidth;
    picture.height = s.frontHeight;
    picture.stride = s.frontWidth * 4;
    return picture;
}

bool PipeWireStream::ended() const
{
    const std::lock_guard lock(m_state->mutex);
    return m_state->over
           || (!m_state->linked && std::chrono::steady_clock::now() - m_state->connectedAt > kLinkTimeout);
}

} // namespace telvdrv
