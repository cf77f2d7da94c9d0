#pragma once

#include "framesource.h"

#include <cstdint>
#include <memory>
#include <string>

// A compositor's screen-cast stream, received through PipeWire on the
// remote the screen-cast portal opened. Frames arrive on PipeWire's own
// thread; only the newest is kept, and only frames with something new in
// them count as a change.
namespace telvdrv {

class PipeWireStream : public FrameSource {
public:
    // Connects to node `node` on the remote behind `fd`, which it takes
    // over. A virtual monitor (`virtualMonitor`) takes its size from the
    // receiver, so it is asked for exactly `width` x `height` first, then
    // any size; a real monitor comes at its own size, preferably that one.
    // Null, with the reason in `why`, when PipeWire refuses.
    static std::unique_ptr<PipeWireStream> connect(int fd, uint32_t node, int width, int height, bool virtualMonitor,
                                                   std::string *why);
    ~PipeWireStream() override;
    PipeWireStream(const PipeWireStream &) = delete;
    PipeWireStream &operator=(const PipeWireStream &) = delete;

    bool waitForChange(int ms) override;
    Picture grab() override;
    bool ended() const override;

    struct State;

private:
    explicit PipeWireStream(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

} // namespace telvdrv
