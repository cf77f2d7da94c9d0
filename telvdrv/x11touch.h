#pragma once

#include "touchinjector.h"

#include <memory>
#include <string>

// Touches as the core pointer's button 1, through XTest, on a connection of
// their own (the capture's stays on the main thread).
namespace telvdrv {

class X11Touch : public TouchInjector {
public:
    // (originX, originY): where what is shared starts on the root window.
    // `pointerBack`: after a lift the pointer goes back where it was before
    // the touch. Null with `why` without a display or XTest.
    static std::unique_ptr<X11Touch> open(int originX, int originY, bool pointerBack, std::string *why,
                                          const char *display = nullptr);
    ~X11Touch() override;
    X11Touch(const X11Touch &) = delete;
    X11Touch &operator=(const X11Touch &) = delete;

    void inject(TouchPhase phase, int x, int y) override;
    // Where what is shared starts now: the monitor it shows was moved.
    // Any thread.
    void setOrigin(int originX, int originY);

    struct State;

private:
    explicit X11Touch(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

} // namespace telvdrv
