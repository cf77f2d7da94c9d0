#pragma once

#include <memory>
#include <string>

namespace platform {

// A name that one process of the machine holds at a time, whichever user
// runs it. It keeps a device out of our other programs' hands where no
// claim of the device can: while a boot-loader tool is yet to take it, or
// between a restart and the look for what comes back. Let go when the
// object goes, and by the system when the process ends in any way.
class ExclusiveName {
public:
    // Null when another process (or another holder in this one) has it, or
    // when it cannot be made.
    static std::unique_ptr<ExclusiveName> take(const std::string &name);
    // Whether another process holds `name` now; the caller's own names
    // are not. One that cannot be looked at counts as held.
    static bool heldElsewhere(const std::string &name);

    ~ExclusiveName();
    ExclusiveName(const ExclusiveName &) = delete;
    ExclusiveName &operator=(const ExclusiveName &) = delete;

private:
#ifdef _WIN32
    using Handle = void *; // the mutex that is the hold
#else
    using Handle = int; // the listening socket that is the hold
#endif
    ExclusiveName(std::string name, Handle handle);

    std::string m_name;
    Handle m_handle;
};

} // namespace platform
