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
    // over. `width` x `height` is the size asked for where the compositor
    // lets the receiver choose (a virtual monitor); a real monitor comes at
    // its own size. Null, with the reason in `why`, when PipeWire refuses.
    static std::unique_ptr<PipeWireStream> connect(int fd, uint32_t node, int width, int height, std::string *why);
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
