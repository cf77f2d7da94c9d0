#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// Named objects that processes open by name: a block of memory and an
// auto-reset event. Like the kernel objects they stand for on Windows, each
// one goes away when the last process that has it open closes it.
//
// On Linux they are files that only their owner may use, in the user's
// runtime folder (XDG_RUNTIME_DIR) when that is private to the user, else
// under /dev/shm: they are created 0600 whatever the umask, and an existing
// object that belongs to another user, that others may open, that is not a
// regular file or that has another name besides is refused. Another user cannot get rid of a mapping, but the owner's
// other programs can shrink the object under it: the pages past its new end
// then read as zeros instead of faulting, and broken() says so. On Windows
// they are machine-wide objects that only the user who made them, the
// administrators and SYSTEM may open.
namespace platform {

class SharedMemory {
public:
    // Opens the block `name`, creating it zero-filled when there is none, and
    // maps `size` bytes of it read/write. Null when it can be neither opened
    // nor created, is refused, or is smaller than `size` and cannot be
    // enlarged; `why` (when given) then says which object and why.
    static std::unique_ptr<SharedMemory> open(const std::string &name, size_t size, std::string *why = nullptr);
    ~SharedMemory();
    SharedMemory(const SharedMemory &) = delete;
    SharedMemory &operator=(const SharedMemory &) = delete;

    uint8_t *data() const { return m_data; }
    size_t size() const { return m_size; }
    // Whether the object was cut short under the mapping: what was read
    // since may be zeros, what was written is lost. It stays broken.
    bool broken() const;

    struct Native;

private:
    explicit SharedMemory(std::unique_ptr<Native> native);

    std::unique_ptr<Native> m_native;
    uint8_t *m_data = nullptr;
    size_t m_size = 0;
};

class NamedEvent {
public:
    enum class Wait { Signalled, TimedOut, Failed };

    // Opens the event `name`, creating it unset when there is none. Null
    // with `why` as for SharedMemory::open.
    static std::unique_ptr<NamedEvent> open(const std::string &name, std::string *why = nullptr);
    ~NamedEvent();
    NamedEvent(const NamedEvent &) = delete;
    NamedEvent &operator=(const NamedEvent &) = delete;

    // Wakes one waiter, or the next wait when nobody waits. Setting an event
    // that is set already changes nothing.
    void set();
    // Returns Signalled once the event is set, leaving it clear again.
    // A negative timeout waits without limit.
    Wait wait(int timeoutMs);
    // As SharedMemory::broken(): a broken event no longer reaches anyone.
    bool broken() const;

    struct Native;

private:
    explicit NamedEvent(std::unique_ptr<Native> native);

    std::unique_ptr<Native> m_native;
};

} // namespace platform
