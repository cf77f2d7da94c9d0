#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <memory>

// Named objects that processes of any user open by name: a block of memory
// and an auto-reset event. Like the kernel objects they stand for on
// Windows, each one goes away when the last process that has it open
// closes it.
namespace platform {

class SharedMemory {
public:
    // Opens the block `name`, creating it zero-filled when there is none, and
    // maps `size` bytes of it read/write. Null when it can be neither opened
    // nor created, or is smaller than `size` and cannot be enlarged.
    static std::unique_ptr<SharedMemory> open(const QString &name, size_t size);
    ~SharedMemory();
    SharedMemory(const SharedMemory &) = delete;
    SharedMemory &operator=(const SharedMemory &) = delete;

    uint8_t *data() const { return m_data; }
    size_t size() const { return m_size; }

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

    // Opens the event `name`, creating it unset when there is none.
    static std::unique_ptr<NamedEvent> open(const QString &name);
    ~NamedEvent();
    NamedEvent(const NamedEvent &) = delete;
    NamedEvent &operator=(const NamedEvent &) = delete;

    // Wakes one waiter, or the next wait when nobody waits. Setting an event
    // that is set already changes nothing.
    void set();
    // Returns Signalled once the event is set, leaving it clear again.
    // A negative timeout waits without limit.
    Wait wait(int timeoutMs);

    struct Native;

private:
    explicit NamedEvent(std::unique_ptr<Native> native);

    std::unique_ptr<Native> m_native;
};

} // namespace platform
