#pragma once

// Touches handed to the desktop. The forwarder turns the screen's reports
// into presses, moves and releases and finds where they land in what is
// shared; an injector gives them to the desktop the way it allows.
namespace telvdrv {

enum class TouchPhase { Down, Move, Up };

class TouchInjector {
public:
    virtual ~TouchInjector() = default;
    // (x, y) in the pixels of what the last picture was made from: the
    // extend monitor with (0, 0) at its top left, or the whole desktop (or
    // the cast stream) in mirror mode. Called on the forwarder's thread only.
    virtual void inject(TouchPhase phase, int x, int y) = 0;

protected:
    TouchInjector() = default;
    TouchInjector(const TouchInjector &) = default;
    TouchInjector &operator=(const TouchInjector &) = default;
};

} // namespace telvdrv
