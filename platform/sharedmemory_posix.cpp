// POSIX shared memory stands in for Windows' named file mapping and event.
// Both objects are files under /dev/shm; the event is one 32-bit word in
// its own small object, waited on with a futex. Every process that has an
// object open holds a shared flock on it, so that the last one to close can
// tell it is the last and remove the name, as Windows does with the last
// handle. Nothing here is a lock that a killed process could leave held.
#include "sharedmemory.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <ctime>
#include <thread>

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

namespace {

// Every user may open the objects: the Windows originals carry a NULL DACL.
constexpr mode_t kOpenToAll = 0666;
// Attempts at opening a name that another process removes at that moment.
constexpr int kOpenAttempts = 50;
// How long to wait for a closing process that holds the exclusive lock
// while it removes the name; a process that holds it longer is not let to
// hang us.
constexpr auto kLockPatience = std::chrono::milliseconds(500);
constexpr size_t kEventObjectSize = 4096;

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(Fd &&other) noexcept : m_fd(other.release()) {}
    Fd &operator=(Fd &&other) noexcept
    {
        if (this != &other) {
            reset();
            m_fd = other.release();
        }
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;

    int get() const { return m_fd; }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

std::string posixName(const QString &name)
{
    return "/" + name.toStdString();
}

// Whether `fd` is still the object that `name` leads to.
bool stillNamed(int fd, const std::string &name)
{
    const Fd other(shm_open(name.c_str(), O_RDONLY, 0));
    if (other.get() < 0)
        return false;
    struct stat a{};
    struct stat b{};
    return fstat(fd, &a) == 0 && fstat(other.get(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool lockShared(int fd)
{
    const auto deadline = std::chrono::steady_clock::now() + kLockPatience;
    for (;;) {
        if (flock(fd, LOCK_SH | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return false;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// One opened and mapped object.
struct ShmObject {
    std::string name;
    Fd fd;
    void *map = MAP_FAILED;
    size_t size = 0;

    ShmObject() = default;
    ShmObject(const ShmObject &) = delete;
    ShmObject &operator=(const ShmObject &) = delete;

    ~ShmObject()
    {
        if (map != MAP_FAILED)
            munmap(map, size);
        if (fd.get() < 0)
            return;
        // Nobody else holds a shared lock: we were the last user. The lock
        // is dropped before the exclusive one is tried, so of two processes
        // closing at once at least one gets it.
        if (flock(fd.get(), LOCK_EX | LOCK_NB) == 0 && stillNamed(fd.get(), name))
            shm_unlink(name.c_str());
    }

    bool open(const std::string &objectName, size_t bytes)
    {
        name = objectName;
        for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
            Fd f(shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, kOpenToAll));
            if (f.get() >= 0) {
                fchmod(f.get(), kOpenToAll); // past the umask
            } else if (errno == EEXIST) {
                f = Fd(shm_open(name.c_str(), O_RDWR, 0));
                if (f.get() < 0 && errno == ENOENT)
                    continue; // removed in between
            }
            if (f.get() < 0)
                return false;
            // Without the lock we are simply not counted as a user.
            lockShared(f.get());
            if (!stillNamed(f.get(), name))
                continue; // its last user removed it while we opened it
            struct stat st{};
            if (fstat(f.get(), &st) != 0 || !S_ISREG(st.st_mode))
                return false;
            // Someone may have made it smaller than we need; mapping past its
            // end would fault on first touch.
            if (st.st_size < off_t(bytes) && ftruncate(f.get(), off_t(bytes)) != 0)
                return false;
            void *m = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, f.get(), 0);
            if (m == MAP_FAILED)
                return false;
            fd = std::move(f);
            map = m;
            size = bytes;
            return true;
        }
        return false;
    }
};

long futex(uint32_t *word, int op, uint32_t value, const timespec *timeout)
{
    return syscall(SYS_futex, word, op, value, timeout, nullptr, 0);
}

} // namespace

struct SharedMemory::Native {
    ShmObject object;
};

SharedMemory::SharedMemory(std::unique_ptr<Native> native) : m_native(std::move(native))
{
    m_data = static_cast<uint8_t *>(m_native->object.map);
    m_size = m_native->object.size;
}

SharedMemory::~SharedMemory() = default;

std::unique_ptr<SharedMemory> SharedMemory::open(const QString &name, size_t size)
{
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || size == 0)
        return nullptr;
    auto native = std::make_unique<Native>();
    if (!native->object.open(posixName(name), size))
        return nullptr;
    return std::unique_ptr<SharedMemory>(new SharedMemory(std::move(native)));
}

struct NamedEvent::Native {
    ShmObject object;
    // Any value but zero means set: a word scribbled on by another process
    // must not keep a waiter spinning.
    uint32_t *word() const { return static_cast<uint32_t *>(object.map); }
    std::atomic_ref<uint32_t> state() const { return std::atomic_ref<uint32_t>(*word()); }
};

static_assert(std::atomic_ref<uint32_t>::is_always_lock_free);

NamedEvent::NamedEvent(std::unique_ptr<Native> native) : m_native(std::move(native)) {}

NamedEvent::~NamedEvent() = default;

std::unique_ptr<NamedEvent> NamedEvent::open(const QString &name)
{
    if (name.isEmpty() || name.contains(QLatin1Char('/')))
        return nullptr;
    auto native = std::make_unique<Native>();
    if (!native->object.open(posixName(name), kEventObjectSize))
        return nullptr;
    return std::unique_ptr<NamedEvent>(new NamedEvent(std::move(native)));
}

void NamedEvent::set()
{
    // Release: what the setter wrote before is seen by the woken waiter.
    if (m_native->state().exchange(1, std::memory_order_release) == 0)
        futex(m_native->word(), FUTEX_WAKE, 1, nullptr);
}

NamedEvent::Wait NamedEvent::wait(int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        if (m_native->state().load(std::memory_order_relaxed) != 0
            && m_native->state().exchange(0, std::memory_order_acquire) != 0)
            return Wait::Signalled;
        timespec ts{};
        const timespec *limit = nullptr;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return Wait::TimedOut;
            ts.tv_sec = time_t(left / 1000000000);
            ts.tv_nsec = long(left % 1000000000);
            limit = &ts;
        }
        // Sleeps only while the word still reads 0; a set in between makes
        // it return at once.
        if (futex(m_native->word(), FUTEX_WAIT, 0, limit) != 0 && errno != EAGAIN && errno != EINTR
            && errno != ETIMEDOUT)
            return Wait::Failed;
    }
}

} // namespace platform
