// POSIX shared memory stands in for Windows' named file mapping and event.
// Both objects are files in the user's runtime folder (XDG_RUNTIME_DIR)
// when that is a 0700 folder of the user's own, where nobody else can take
// a name first; else under /dev/shm, which every user may write. The event
// is one 32-bit word in its own small object, waited on with a futex. Every process that has an
// object open holds a shared flock on it, so that the last one to close can
// tell it is the last and remove the name, as Windows does with the last
// handle. Nothing here is a lock that a killed process could leave held.
//
// The objects are the user's own: 0600, and refused when an existing one is
// not. A mapped object can still be made smaller by the owner's other
// processes, and touching a page past its new end raises SIGBUS. As
// libwayland-server does for its clients' buffers, a SIGBUS handler then
// puts zero pages over the whole mapping and lets the access go on; the
// mapping is marked broken for its owner to see.
#include "sharedmemory.h"
#include "platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <system_error>
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

// Where glibc's shm_open(3) puts the objects, for messages. It opens them
// with O_NOFOLLOW and passes other flags on: a FIFO or a terminal planted
// under the name is neither waited on nor made our controlling terminal.
// (Its internal open is also out of reach of a preloaded library that moves
// /dev paths elsewhere, as umockdev does under the tests.) Objects in the
// runtime folder are opened with the same flags.
constexpr char kShmFolder[] = "/dev/shm/";
constexpr int kOpenFlags = O_NONBLOCK | O_NOCTTY;
constexpr mode_t kOwnerOnly = 0600;
// Attempts at opening a name that another process removes at that moment.
constexpr int kOpenAttempts = 50;
// How long to wait for a closing process that holds the exclusive lock
// while it removes the name; a process that holds it longer is not let to
// hang us.
constexpr auto kLockPatience = std::chrono::milliseconds(500);
constexpr size_t kEventObjectSize = 4096;

// ---- Mappings that a shrink must not crash ----

// A fixed table, so that the handler finds a mapping with atomic loads
// alone: it may run in the middle of anything, malloc included.
constexpr int kGuardSlots = 64;
enum : int { kSlotFree, kSlotClaimed, kSlotLive };

struct GuardSlot {
    std::atomic<int> state{kSlotFree};
    std::atomic<uintptr_t> begin{0};
    std::atomic<size_t> length{0};
    std::atomic<bool> broken{false};
};

GuardSlot g_slots[kGuardSlots];
struct sigaction g_previousBus {};
std::atomic<bool> g_previousKnown{false};
std::once_flag g_handlerOnce;

void passOn(int signal, siginfo_t *info, void *context)
{
    const bool fault = info && info->si_code > 0;
    if (g_previousKnown.load(std::memory_order_acquire)) {
        const struct sigaction &previous = g_previousBus;
        if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction) {
            previous.sa_sigaction(signal, info, context);
            return;
        }
        // A fault is not ignored even where the signal is: the kernel would
        // not let it be either.
        if (previous.sa_handler == SIG_IGN && !fault)
            return;
        if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
            previous.sa_handler(signal);
            return;
        }
    }
    // The default action, which ends the process: the signal stays blocked
    // until this handler returns, then comes again without it.
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    sigaction(signal, &byDefault, nullptr);
    raise(signal);
}

void onBusError(int signal, siginfo_t *info, void *context)
{
    const int savedErrno = errno;
    // Only a fault carries the address it was at; a SIGBUS sent by a
    // process carries its sender there.
    if (info && info->si_code > 0) {
        const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
        for (GuardSlot &slot : g_slots) {
            if (slot.state.load(std::memory_order_acquire) != kSlotLive)
                continue;
            const uintptr_t begin = slot.begin.load(std::memory_order_relaxed);
            const size_t length = slot.length.load(std::memory_order_relaxed);
            if (address < begin || address - begin >= length)
                continue;
            // The raw system call: the sanitizers' mmap wrappers are not
            // meant to run inside a signal handler.
            const long mapped = syscall(SYS_mmap, begin, length, long(PROT_READ | PROT_WRITE),
                                        long(MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED), -1L, 0L);
            if (mapped == -1)
                break;
            slot.broken.store(true, std::memory_order_release);
            errno = savedErrno;
            return; // the access is made again, on zero pages now
        }
    }
    errno = savedErrno;
    passOn(signal, info, context);
}

void installBusHandler()
{
    // Learnt before ours is in place, so that the handler never chains to a
    // half-written action.
    sigaction(SIGBUS, nullptr, &g_previousBus);
    g_previousKnown.store(true, std::memory_order_release);
    struct sigaction action {};
    action.sa_sigaction = &onBusError;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
    sigaction(SIGBUS, &action, nullptr);
}

size_t pageRounded(size_t bytes)
{
    const auto page = size_t(sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
}

// The slot now watching the mapping, -1 when the table is full.
int guardMapping(void *map, size_t length)
{
    std::call_once(g_handlerOnce, installBusHandler);
    for (int i = 0; i < kGuardSlots; ++i) {
        GuardSlot &slot = g_slots[i];
        int expected = kSlotFree;
        if (!slot.state.compare_exchange_strong(expected, kSlotClaimed, std::memory_order_acquire))
            continue;
        slot.begin.store(reinterpret_cast<uintptr_t>(map), std::memory_order_relaxed);
        slot.length.store(pageRounded(length), std::memory_order_relaxed);
        slot.broken.store(false, std::memory_order_relaxed);
        slot.state.store(kSlotLive, std::memory_order_release);
        return i;
    }
    return -1;
}

// ---- Opening ----

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

std::string errorText(int error)
{
    return std::generic_category().message(error);
}

std::string octal(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", unsigned(mode & 07777));
    return text;
}

// Why an existing object is not ours to use; empty when it is.
std::string refusal(const std::string &path, const struct stat &st)
{
    if (S_ISLNK(st.st_mode))
        return path + " is not a regular file (it is a symbolic link)";
    if (!S_ISREG(st.st_mode))
        return path + " is not a regular file";
    if (st.st_uid != geteuid())
        return path + " belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    if ((st.st_mode & 077) != 0)
        return path + " may be used by other users (mode " + octal(st.st_mode) + ")";
    if ((st.st_mode & 07777 & ~kOwnerOnly) != 0)
        return path + " has modes wider than 0600 (mode " + octal(st.st_mode) + ")";
    // Another name for it could be anybody's way in, and would keep it
    // alive after we remove ours.
    if (st.st_nlink > 1)
        return path + " has more than one name (" + std::to_string(st.st_nlink) + " links)";
    return {};
}

// The runtime folder, with a slash at its end, when it is a folder of the
// user's own that nobody else may enter; empty otherwise.
std::string privateRuntimeFolder()
{
    // Nothing of ours changes the environment while threads run.
    const char *set = std::getenv("XDG_RUNTIME_DIR"); // NOLINT(concurrency-mt-unsafe)
    if (!set || set[0] != '/')
        return {};
    const Fd folder(::open(set, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (folder.get() < 0 || fstat(folder.get(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()
        || (st.st_mode & 077) != 0)
        return {};
    std::string path = set;
    if (path.back() != '/')
        path += '/';
    return path;
}

// Where one object lives: a name of shm_open(3)'s, or a file in the
// runtime folder.
struct Place {
    std::string shmName; // "/NAME" under /dev/shm; empty in the runtime folder
    std::string path;    // the whole path, for messages and in the runtime folder

    static Place of(const std::string &objectName)
    {
        const std::string folder = privateRuntimeFolder();
        if (!folder.empty())
            return {{}, folder + objectName};
        return {"/" + objectName, kShmFolder + objectName};
    }
    int open(int flags, mode_t mode) const
    {
        if (!shmName.empty())
            return shm_open(shmName.c_str(), flags, mode);
        return ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
    }
    void unlink() const
    {
        if (!shmName.empty())
            shm_unlink(shmName.c_str());
        else
            ::unlink(path.c_str());
    }
};

// What is at the name itself, whatever it is and whoever may read it (the
// lstat(2) of it): an O_PATH open needs no rights on the file.
bool lookAt(const Place &place, struct stat *st)
{
    const Fd at(place.open(O_PATH, 0));
    return at.get() >= 0 && fstat(at.get(), st) == 0;
}

// Why opening failed with `error`. What is at the name says more than the
// error: a non-owner gets EACCES, and so does root with fs.protected_regular
// for another user's file in the sticky /dev/shm.
std::string openFailure(const Place &place, int error)
{
    struct stat st {};
    if (lookAt(place, &st)) {
        std::string why = refusal(place.path, st);
        if (!why.empty())
            return why;
    }
    return place.path + " cannot be opened: " + errorText(error);
}

// Whether `fd` is still the object that `place` leads to.
bool stillNamed(int fd, const Place &place)
{
    const Fd other(place.open(O_PATH, 0));
    if (other.get() < 0)
        return false;
    struct stat a {};
    struct stat b {};
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

bool fail(std::string *why, std::string text)
{
    if (why)
        *why = std::move(text);
    return false;
}

// One opened and mapped object.
struct ShmObject {
    Place place;
    Fd fd;
    void *map = MAP_FAILED;
    size_t size = 0;
    int slot = -1;

    ShmObject() = default;
    ShmObject(const ShmObject &) = delete;
    ShmObject &operator=(const ShmObject &) = delete;

    ~ShmObject()
    {
        if (slot >= 0)
            g_slots[slot].state.store(kSlotFree, std::memory_order_release);
        if (map != MAP_FAILED)
            munmap(map, size);
        if (fd.get() < 0)
            return;
        // Nobody else holds a shared lock: we were the last user. The lock
        // is dropped before the exclusive one is tried, so of two processes
        // closing at once at least one gets it.
        if (flock(fd.get(), LOCK_EX | LOCK_NB) == 0 && stillNamed(fd.get(), place))
            place.unlink();
    }

    bool broken() const { return slot >= 0 && g_slots[slot].broken.load(std::memory_order_acquire); }

    bool open(const std::string &objectName, size_t bytes, std::string *why)
    {
        place = Place::of(objectName);
        const std::string &path = place.path;
        for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
            Fd f(place.open(O_RDWR | O_CREAT | O_EXCL | kOpenFlags, kOwnerOnly));
            if (f.get() >= 0) {
                // A umask such as 0277 would take the owner's own writing.
                fchmod(f.get(), kOwnerOnly);
            } else if (errno == EEXIST) {
                f = Fd(place.open(O_RDWR | kOpenFlags, 0));
                if (f.get() < 0 && errno == ENOENT)
                    continue; // removed in between
            }
            if (f.get() < 0)
                return fail(why, openFailure(place, errno));
            // Looked at on what was opened, not on the name: nothing of
            // someone else's is locked, enlarged or mapped.
            struct stat st {};
            if (fstat(f.get(), &st) != 0)
                return fail(why, path + " cannot be examined: " + errorText(errno));
            if (std::string refused = refusal(path, st); !refused.empty())
                return fail(why, std::move(refused));
            // Without the lock we are simply not counted as a user.
            lockShared(f.get());
            if (!stillNamed(f.get(), place))
                continue; // its last user removed it while we opened it
            // Someone may have made it smaller than we need; mapping past its
            // end would fault on first touch.
            if (st.st_size < off_t(bytes) && ftruncate(f.get(), off_t(bytes)) != 0)
                return fail(why, path + " is too small and cannot be enlarged: " + errorText(errno));
            void *m = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, f.get(), 0);
            if (m == MAP_FAILED)
                return fail(why, path + " cannot be mapped: " + errorText(errno));
            const int guard = guardMapping(m, bytes);
            if (guard < 0) {
                munmap(m, bytes);
                return fail(why, path + " cannot be mapped: too many shared objects are open");
            }
            fd = std::move(f);
            map = m;
            size = bytes;
            slot = guard;
            return true;
        }
        return fail(why, path + " was removed again each time it was opened");
    }
};

bool usableName(const std::string &name)
{
    return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
}

long futex(uint32_t *word, int op, uint32_t value, const timespec *timeout)
{
    return syscall(SYS_futex, word, op, value, timeout, nullptr, 0);
}

} // namespace

std::string userObjectFolder()
{
    const std::string folder = privateRuntimeFolder();
    return folder.empty() ? std::string(kShmFolder) : folder;
}

struct SharedMemory::Native {
    ShmObject object;
};

SharedMemory::SharedMemory(std::unique_ptr<Native> native) : m_native(std::move(native))
{
    m_data = static_cast<uint8_t *>(m_native->object.map);
    m_size = m_native->object.size;
}

SharedMemory::~SharedMemory() = default;

std::unique_ptr<SharedMemory> SharedMemory::open(const std::string &name, size_t size, std::string *why)
{
    if (!usableName(name) || size == 0) {
        fail(why, "\"" + name + "\" is not a usable name for shared memory");
        return nullptr;
    }
    auto native = std::make_unique<Native>();
    if (!native->object.open(name, size, why))
        return nullptr;
    return std::unique_ptr<SharedMemory>(new SharedMemory(std::move(native)));
}

bool SharedMemory::broken() const
{
    return m_native->object.broken();
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

std::unique_ptr<NamedEvent> NamedEvent::open(const std::string &name, std::string *why)
{
    if (!usableName(name)) {
        fail(why, "\"" + name + "\" is not a usable name for an event");
        return nullptr;
    }
    auto native = std::make_unique<Native>();
    if (!native->object.open(name, kEventObjectSize, why))
        return nullptr;
    return std::unique_ptr<NamedEvent>(new NamedEvent(std::move(native)));
}

bool NamedEvent::broken() const
{
    return m_native->object.broken();
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
        const bool signalled = m_native->state().load(std::memory_order_relaxed) != 0
            && m_native->state().exchange(0, std::memory_order_acquire) != 0;
        // A broken event reaches nobody: what reads as set is our own doing,
        // and a wait without limit would never end.
        if (m_native->object.broken())
            return Wait::Failed;
        if (signalled)
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
