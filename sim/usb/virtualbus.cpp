#include "virtualbus.h"

#include "descriptors.h"
#include "scheduler.h"

#include <umockdev.h>

#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <list>
#include <fstream>
#include <map>
#include <mutex>
#include <poll.h>
#include <stdexcept>
#include <system_error>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace sim {

namespace {

// libusb waits for POLLOUT on the device node. A FIFO kept full never polls
// writable; draining one page makes it writable while a completion waits to
// be reaped, so an idle event loop sleeps as it would on a real kernel.
constexpr size_t kFifoPage = 4096;

struct PendingUrb {
    UMockdevIoctlClient *client = nullptr; // owned reference
    unsigned long address = 0;             // the URB's address in the client
    uint8_t type = 0;
    uint8_t endpoint = 0;
    int bufferLength = 0;
    // Filled when the screen has answered.
    int status = 0;
    std::vector<uint8_t> inData;
    int actualLength = 0;
    bool answered = false;

    PendingUrb() = default;
    PendingUrb(const PendingUrb &) = delete;
    PendingUrb &operator=(const PendingUrb &) = delete;
    ~PendingUrb()
    {
        if (client)
            g_object_unref(client);
    }
};

using UrbPtr = std::shared_ptr<PendingUrb>;

struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd()
    {
        if (fd >= 0)
            close(fd);
    }
};

// The uevent sockets of the processes on the bus, through which umockdev's
// sender reaches each of them, as the kernel's netlink multicast would.
//
// umockdev's preload names a process's socket after its descriptor number
// ("event6") and unlinks that name before binding it, so a second process
// whose socket got the same number takes the name over, and the first never
// hears of a device again. Each socket is renamed as soon as it appears;
// the sender still finds it by the pattern event[0-9]*, and a bound socket
// is reached by whatever name its file has. The names come from the watch
// itself: a directory listing on this thread would open descriptors that
// ThreadSanitizer does not see made.
class EventListeners {
public:
    // `sendMutex` is held around umockdev's sends, which find the sockets
    // by name and then connect: a name must not vanish in between.
    EventListeners(std::string dir, std::mutex &sendMutex)
        : m_dir(std::move(dir)), m_sendMutex(sendMutex), m_inotify(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
          m_stop(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
    {
        if (m_inotify.fd < 0 || m_stop.fd < 0 || inotify_add_watch(m_inotify.fd, m_dir.c_str(), IN_CREATE) < 0)
            throw std::runtime_error("cannot watch " + m_dir + ": " + std::generic_category().message(errno));
        m_thread = std::thread([this] { run(); });
    }
    ~EventListeners()
    {
        const uint64_t one = 1;
        if (write(m_stop.fd, &one, sizeof one) < 0)
            std::perror("stopping the uevent socket watch");
        m_thread.join();
    }
    EventListeners(const EventListeners &) = delete;
    EventListeners &operator=(const EventListeners &) = delete;

    // umockdev's sender ends the whole process when a send to a listener
    // fails: when its queue is full (ten datagrams), where the kernel would
    // drop the event for that listener alone, and when it closes between the
    // sender's connect and its send, as a program does that ends because its
    // screen left. So umockdev only ever sends to a socket of ours, with
    // every listener's name hidden meanwhile, and the events it sent are
    // passed on from here: each listener once it has room; one that gets
    // none within a while misses the event, as it would from the kernel, and
    // is not waited for again until it has caught up. `send` makes umockdev
    // send. Call it with the send mutex held.
    void sendWithRoom(const std::function<void()> &send)
    {
        adoptNew(); // also those the watch has not come to yet
        const std::vector<std::string> events = capture(send);
        for (auto it = m_listeners.begin(); it != m_listeners.end();) {
            if (deliver(*it, events))
                ++it;
            else
                it = m_listeners.erase(it); // gone; umockdev would unlink it too
        }
    }

private:
    struct Listener {
        std::string name;
        bool behind = false; // had no room last time
    };

    std::vector<std::string> capture(const std::function<void()> &send)
    {
        // Matches umockdev's pattern event[0-9]* but is no listener's name.
        const std::string path = m_dir + "/event0-bus";
        Fd own(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (own.fd < 0 || path.size() >= sizeof address.sun_path)
            throw std::runtime_error("cannot make the uevent relay socket");
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        unlink(path.c_str());
        if (bind(own.fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot bind " + path + ": " + std::generic_category().message(errno));
        std::error_code error;
        for (const Listener &l : m_listeners)
            std::filesystem::rename(m_dir + "/" + l.name, m_dir + "/held-" + l.name, error);
        send();
        for (const Listener &l : m_listeners)
            std::filesystem::rename(m_dir + "/held-" + l.name, m_dir + "/" + l.name, error);
        std::vector<std::string> events;
        char datagram[8192];
        ssize_t n;
        while ((n = recv(own.fd, datagram, sizeof datagram, MSG_DONTWAIT | MSG_TRUNC)) >= 0)
            if (size_t(n) <= sizeof datagram)
                events.emplace_back(datagram, size_t(n));
        unlink(path.c_str());
        return events;
    }

    // False when the listener is gone. A datagram socket connected to a
    // listener polls writable only while the listener's queue has room.
    bool deliver(Listener &l, const std::vector<std::string> &events)
    {
        const std::string path = m_dir + "/" + l.name;
        Fd out(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (out.fd < 0 || path.size() >= sizeof address.sun_path)
            return true;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        if (connect(out.fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
            return errno != ENOENT && errno != ECONNREFUSED; // else refused: it misses the event
        for (const std::string &event : events) {
            pollfd writable{out.fd, POLLOUT, 0};
            if (poll(&writable, 1, l.behind ? 0 : kRoomWaitMs) <= 0 || !(writable.revents & POLLOUT)) {
                l.behind = true;
                return true;
            }
            if (::send(out.fd, event.data(), event.size(), MSG_NOSIGNAL) < 0) {
                if (errno == ECONNREFUSED)
                    return false;
                l.behind = errno == EAGAIN;
                return true;
            }
            l.behind = false;
        }
        return true;
    }

    void run()
    {
        pollfd fds[2] = {{m_inotify.fd, POLLIN, 0}, {m_stop.fd, POLLIN, 0}};
        while (poll(fds, 2, -1) >= 0 || errno == EINTR) {
            if (fds[1].revents)
                return;
            if (fds[0].revents) {
                std::lock_guard lock(m_sendMutex);
                adoptNew();
            }
        }
    }

    // Renames the sockets the watch has reported since last time. Call it
    // with the send mutex held.
    void adoptNew()
    {
        alignas(inotify_event) char events[4096];
        ssize_t n;
        while ((n = read(m_inotify.fd, events, sizeof events)) > 0) {
            for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= n;) {
                inotify_event event{};
                std::memcpy(&event, events + at, sizeof event);
                const char *name = events + at + sizeof event;
                if (event.len > 0)
                    adopt(std::string(name, strnlen(name, event.len)));
                at += ssize_t(sizeof event + event.len);
            }
        }
    }

    void adopt(const std::string &name)
    {
        if (name.size() <= 5 || name.compare(0, 5, "event") != 0
            || name.find_first_not_of("0123456789", 5) != std::string::npos)
            return;
        const std::string renamed = name + "-" + std::to_string(++m_renamed);
        std::error_code error;
        std::filesystem::rename(m_dir + "/" + name, m_dir + "/" + renamed, error);
        if (!error)
            m_listeners.push_back({renamed});
        else if (error != std::errc::no_such_file_or_directory)
            std::fprintf(stderr, "renaming a uevent socket: %s\n", error.message().c_str());
    }

    std::string m_dir;
    std::mutex &m_sendMutex;
    Fd m_inotify;
    Fd m_stop;
    uint64_t m_renamed = 0;
    std::list<Listener> m_listeners; // under the send mutex
    std::thread m_thread;
    static constexpr int kRoomWaitMs = 2000;
};

// A node of the bus's own, through which it learns umockdev's worker thread.
constexpr char kProbeNode[] = "/dev/tavrik-sim-probe";

} // namespace

struct BusCore;

// One plug-in of a slot: a device node, its ioctl handler and its URBs. Kept
// until the bus goes away, since a program may still hold the old node open.
struct Attachment {
    BusCore *owner = nullptr;
    struct Slot *slot = nullptr;
    int bus = 0;
    int devnum = 0;
    std::string devnode; // /dev/bus/usb/BBB/DDD
    std::string syspath; // /sys/devices/...
    UMockdevIoctlBase *handler = nullptr;
    int fifo = -1;
    bool attached = false; // the ioctl handler serves `devnode`
    uint64_t ioctls = 0;
    // Who holds each claimed interface: one opened device file, as the
    // kernel keeps it, whichever process it belongs to.
    std::map<unsigned, UMockdevIoctlClient *> claims;

    std::mutex mutex;
    bool gone = false;
    bool drained = false;
    std::list<UrbPtr> inFlight;
    std::deque<UrbPtr> done;

    ~Attachment()
    {
        if (handler)
            g_object_unref(handler);
        if (fifo >= 0)
            close(fifo);
    }

    // Keeps the FIFO drained exactly while a completion waits to be reaped.
    void updateFifoLocked()
    {
        const bool want = !done.empty();
        if (want == drained)
            return;
        static const std::vector<uint8_t> page(kFifoPage, 0);
        std::vector<uint8_t> sink(kFifoPage);
        if (want) {
            if (read(fifo, sink.data(), sink.size()) > 0)
                drained = true;
        } else {
            if (write(fifo, page.data(), page.size()) > 0 || errno == EAGAIN)
                drained = false;
        }
    }

    // NOLINTNEXTLINE(performance-unnecessary-value-param): by value, `urb` may live in inFlight
    void completeLocked(UrbPtr urb)
    {
        inFlight.remove(urb);
        done.push_back(urb);
        updateFifoLocked();
    }
};

struct Slot {
    int number = 0;
    int bus = 0;
    std::vector<int> path; // ports from the root hub down; hubs sit at its leading ports
    int port = 0;          // the last of them
    std::shared_ptr<ScreenModel> model;
    std::shared_ptr<Attachment> current;   // null while unplugged
    std::atomic<uint64_t> generation = 0;  // bumped by every plug and unplug
    uint64_t ioctls = 0;                   // of earlier attachments
};

// The ioctl handlers run on umockdev's worker thread and never take `mutex`:
// testbed calls made under it may wait for that thread.
struct BusCore {
    UMockdevTestbed *testbed = nullptr;
    std::string root;
    // umockdev's thread that runs every ioctl handler, and the handler that
    // learnt it; both kept until the thread has ended.
    std::atomic<GThread *> worker = nullptr;
    UMockdevIoctlBase *probe = nullptr;
    mutable std::mutex mutex; // slots, attachments and every testbed call
    std::vector<std::unique_ptr<Slot>> slots;
    std::vector<std::shared_ptr<Attachment>> attachments;
    std::map<int, int> nextDevnum;
    // The hubs screens sit behind, by sysfs path, with their addresses:
    // added before the first screen behind them, kept while the bus lives.
    std::map<std::string, std::pair<int, int>> hubs;
    std::function<void(int)> changeListener;
    Scheduler scheduler;
    std::unique_ptr<EventListeners> listeners;

    void learnWorker();
    static gboolean onProbe(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user);
    void plugLocked(Slot &slot);
    int freeDevnumLocked(int bus);
    void addHubsLocked(const Slot &slot);
    void unplugLocked(Slot &slot);
    void notify(int slot);
    void deliverTouches(Slot &slot);

    static gboolean onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user);
    static void onVanished(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user);
    void claim(Attachment &at, UMockdevIoctlClient *client, UMockdevIoctlData *arg, bool take);
    bool handleIoctl(Attachment &at, UMockdevIoctlClient *client);
    void submitUrb(Attachment &at, UMockdevIoctlClient *client, UMockdevIoctlData *arg);
    void reapUrb(Attachment &at, UMockdevIoctlClient *client, UMockdevIoctlData *arg);
    void discardUrb(Attachment &at, UMockdevIoctlClient *client, UMockdevIoctlData *arg);
    void answer(Attachment &at, const UrbPtr &urb, const uint8_t *buffer);
    void serveInterruptLocked(Attachment &at, Slot &slot);
    void scheduleReboot(Slot &slot);
};

struct VirtualBus::Impl : BusCore {};

VirtualBus::VirtualBus() : d(std::make_unique<Impl>())
{
    d->testbed = umockdev_testbed_new();
    if (!d->testbed)
        throw std::runtime_error("umockdev test bed could not be created");
    gchar *root = umockdev_testbed_get_root_dir(d->testbed);
    d->root = root;
    g_free(root);
    d->learnWorker();
    d->listeners = std::make_unique<EventListeners>(d->root, d->mutex);
}

// Destroying the test bed only tells umockdev's worker thread to quit; it
// may still be inside a handler, or in GLib's marshalling around one. So
// the handlers, their closures and what they use go only once it has ended.
VirtualBus::~VirtualBus()
{
    d->scheduler.stop(); // its reboot steps send events
    d->listeners.reset();
    {
        std::lock_guard lock(d->mutex);
        for (auto &slot : d->slots)
            slot->model->setTouchListener({});
    }
    g_object_unref(d->testbed);
    if (GThread *worker = d->worker.exchange(nullptr))
        g_thread_join(worker);
    if (d->probe)
        g_object_unref(d->probe);
}

bool VirtualBus::underPreload()
{
    void *preload = dlopen("libumockdev-preload.so.0", RTLD_LAZY | RTLD_NOLOAD);
    if (preload)
        dlclose(preload);
    return preload != nullptr;
}

// One request through a node of the bus's own runs on the worker thread,
// which umockdev does not name otherwise. Without the preload library no
// request of this process reaches a handler, and the bus has no worker to
// wait for.
void BusCore::learnWorker()
{
    if (!VirtualBus::underPreload())
        return;
    const std::filesystem::path node = root + kProbeNode;
    std::filesystem::create_directories(node.parent_path());
    if (FILE *f = std::fopen(node.c_str(), "w"))
        std::fclose(f);
    probe = umockdev_ioctl_base_new();
    g_signal_connect(probe, "handle-ioctl", G_CALLBACK(&BusCore::onProbe), this);
    if (!umockdev_testbed_attach_ioctl(testbed, kProbeNode, probe, nullptr))
        return;
    const int fd = open(kProbeNode, O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        uint32_t capabilities = 0;
        ioctl(fd, USBDEVFS_GET_CAPABILITIES, &capabilities);
        close(fd);
    }
    umockdev_testbed_detach_ioctl(testbed, kProbeNode, nullptr);
}

gboolean BusCore::onProbe(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user)
{
    auto *core = static_cast<BusCore *>(user);
    GThread *self = g_thread_ref(g_thread_self());
    GThread *none = nullptr;
    if (!core->worker.compare_exchange_strong(none, self))
        g_thread_unref(self);
    umockdev_ioctl_client_complete(client, 0, 0);
    return TRUE;
}

int VirtualBus::attach(std::shared_ptr<ScreenModel> model, int bus, int port)
{
    return attach(std::move(model), bus, std::vector<int>{port});
}

int VirtualBus::attach(std::shared_ptr<ScreenModel> model, int bus, const std::vector<int> &path)
{
    if (bus < 1 || bus > 255 || path.empty() || path.size() > 7
        || std::any_of(path.begin(), path.end(), [](int p) { return p < 1 || p > 127; }))
        throw std::invalid_argument("bus must be 1-255, and the path 1 to 7 ports of 1-127");
    int number;
    {
        std::lock_guard lock(d->mutex);
        for (const auto &s : d->slots) {
            const size_t shared = std::min(s->path.size(), path.size());
            if (s->bus == bus && std::equal(path.begin(), path.begin() + std::ptrdiff_t(shared), s->path.begin()))
                throw std::invalid_argument("that bus port already has a screen, or a hub where a screen is");
        }
        auto slot = std::make_unique<Slot>();
        slot->number = int(d->slots.size());
        slot->bus = bus;
        slot->path = path;
        slot->port = path.back();
        slot->model = std::move(model);
        Slot *raw = slot.get();
        d->slots.push_back(std::move(slot));
        raw->model->setTouchListener([this, raw] { d->deliverTouches(*raw); });
        d->plugLocked(*raw);
        number = raw->number;
    }
    d->notify(number);
    return number;
}

void VirtualBus::unplug(int slot)
{
    {
        std::lock_guard lock(d->mutex);
        d->unplugLocked(*d->slots.at(size_t(slot)));
    }
    d->notify(slot);
}

void VirtualBus::plug(int slot)
{
    {
        std::lock_guard lock(d->mutex);
        Slot &s = *d->slots.at(size_t(slot));
        if (s.current)
            return;
        d->plugLocked(s);
    }
    d->notify(slot);
}

void VirtualBus::replug(int slot)
{
    bool wasPlugged;
    {
        std::lock_guard lock(d->mutex);
        Slot &s = *d->slots.at(size_t(slot));
        wasPlugged = s.current != nullptr;
        d->unplugLocked(s); // a reboot under way sees the new generation and keeps out
    }
    if (wasPlugged)
        d->notify(slot);
    {
        std::lock_guard lock(d->mutex);
        Slot &s = *d->slots.at(size_t(slot));
        if (s.current)
            return; // plugged in by someone else meanwhile
        s.model->powerUp();
        d->plugLocked(s);
    }
    d->notify(slot);
}

bool VirtualBus::plugged(int slot) const
{
    std::lock_guard lock(d->mutex);
    return d->slots.at(size_t(slot))->current != nullptr;
}

int VirtualBus::deviceAddress(int slot) const
{
    std::lock_guard lock(d->mutex);
    const auto &at = d->slots.at(size_t(slot))->current;
    return at ? at->devnum : 0;
}

std::shared_ptr<ScreenModel> VirtualBus::model(int slot) const
{
    std::lock_guard lock(d->mutex);
    return d->slots.at(size_t(slot))->model;
}

int VirtualBus::busNumber(int slot) const
{
    std::lock_guard lock(d->mutex);
    return d->slots.at(size_t(slot))->bus;
}

int VirtualBus::portNumber(int slot) const
{
    std::lock_guard lock(d->mutex);
    return d->slots.at(size_t(slot))->port;
}

std::vector<int> VirtualBus::portPath(int slot) const
{
    std::lock_guard lock(d->mutex);
    return d->slots.at(size_t(slot))->path;
}

void VirtualBus::putInPlace(int slot, std::shared_ptr<ScreenModel> model)
{
    {
        std::lock_guard lock(d->mutex);
        Slot &s = *d->slots.at(size_t(slot));
        d->unplugLocked(s);
        s.model->setTouchListener({});
        s.model = std::move(model);
        s.model->setTouchListener([this, raw = &s] { d->deliverTouches(*raw); });
    }
    d->notify(slot);
    {
        std::lock_guard lock(d->mutex);
        Slot &s = *d->slots.at(size_t(slot));
        if (!s.current)
            d->plugLocked(s);
    }
    d->notify(slot);
}

int VirtualBus::slotCount() const
{
    std::lock_guard lock(d->mutex);
    return int(d->slots.size());
}

void VirtualBus::setChangeListener(std::function<void(int)> listener)
{
    std::lock_guard lock(d->mutex);
    d->changeListener = std::move(listener);
}

uint64_t VirtualBus::ioctlCount(int slot) const
{
    std::lock_guard lock(d->mutex);
    const Slot &s = *d->slots.at(size_t(slot));
    uint64_t n = s.ioctls;
    if (s.current) {
        std::lock_guard atLock(s.current->mutex);
        n += s.current->ioctls;
    }
    return n;
}

std::string VirtualBus::rootDir() const
{
    return d->root;
}

void BusCore::notify(int slot)
{
    std::function<void(int)> listener;
    {
        std::lock_guard lock(mutex);
        listener = changeListener;
    }
    if (listener)
        listener(slot);
}

namespace {

// "/sys/devices/.../usb1/1-2.4" for the device at ports 2, 4 of bus 1.
std::string sysPath(int bus, const std::vector<int> &path, size_t depth)
{
    std::string p = "/sys/devices/pci0000:00/0000:00:14.0/usb" + std::to_string(bus) + "/" + std::to_string(bus) + "-";
    for (size_t i = 0; i < depth; ++i)
        p += (i ? "." : "") + std::to_string(path[i]);
    return p;
}

} // namespace

int BusCore::freeDevnumLocked(int bus)
{
    // Addresses go round from 2 (1 is the root hub's), skipping those in use,
    // as a host controller hands them out.
    int &next = nextDevnum[bus];
    for (int tries = 0; tries < 126; ++tries) {
        if (next < 2 || next > 127)
            next = 2;
        const int candidate = next++;
        const bool inUse = std::any_of(slots.begin(), slots.end(), [&](const auto &s) {
            return s->current && s->bus == bus && s->current->devnum == candidate;
        }) || std::any_of(hubs.begin(), hubs.end(), [&](const auto &h) {
            return h.second == std::pair(bus, candidate);
        });
        if (!inUse)
            return candidate;
    }
    throw std::runtime_error("no free USB address on bus " + std::to_string(bus));
}

void BusCore::addHubsLocked(const Slot &slot)
{
    // Each hub before what sits behind it: a program's libusb links a
    // device to its parent hub only when it knows the hub already.
    for (size_t depth = 1; depth < slot.path.size(); ++depth) {
        const std::string syspath = sysPath(slot.bus, slot.path, depth);
        if (hubs.count(syspath))
            continue;
        const int devnum = freeDevnumLocked(slot.bus);
        char node[64];
        std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", slot.bus, devnum);
        const std::filesystem::path nodePath = root + node;
        std::filesystem::create_directories(nodePath.parent_path());
        std::ofstream(nodePath.string()).close();
        const std::string text = deviceRecord(syspath, node, slot.bus, devnum, hubDescriptors());
        GError *error = nullptr;
        bool added = false;
        listeners->sendWithRoom([&] { added = umockdev_testbed_add_from_string(testbed, text.c_str(), &error); });
        if (!added) {
            const std::string message = error ? error->message : "unknown error";
            g_clear_error(&error);
            std::string what = "cannot add hub ";
            what += syspath;
            what += ": ";
            what += message;
            throw std::runtime_error(what);
        }
        hubs[syspath] = {slot.bus, devnum};
    }
}

void BusCore::plugLocked(Slot &slot)
{
    addHubsLocked(slot);
    auto at = std::make_shared<Attachment>();
    at->owner = this;
    at->slot = &slot;
    at->bus = slot.bus;
    at->devnum = freeDevnumLocked(slot.bus);
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", slot.bus, at->devnum);
    at->devnode = node;
    // An earlier plug-in with this address has left the bus; its node goes.
    for (auto &old : attachments) {
        if (old->devnode == at->devnode && old->attached) {
            umockdev_testbed_detach_ioctl(testbed, old->devnode.c_str(), nullptr);
            old->attached = false;
        }
    }
    at->syspath = sysPath(slot.bus, slot.path, slot.path.size());

    const std::filesystem::path fifoPath = root + at->devnode;
    std::filesystem::create_directories(fifoPath.parent_path());
    std::filesystem::remove(fifoPath);
    if (mkfifo(fifoPath.c_str(), 0666) != 0)
        throw std::runtime_error("cannot create device node " + fifoPath.string());
    at->fifo = open(fifoPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (at->fifo < 0)
        throw std::runtime_error("cannot open device node " + fifoPath.string());
    static const std::vector<uint8_t> page(kFifoPage, 0);
    while (write(at->fifo, page.data(), page.size()) > 0) {
    }

    at->handler = umockdev_ioctl_base_new();
    g_signal_connect(at->handler, "handle-ioctl", G_CALLBACK(&BusCore::onIoctl), at.get());
    g_signal_connect(at->handler, "client-vanished", G_CALLBACK(&BusCore::onVanished), at.get());
    GError *error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed, at->devnode.c_str(), at->handler, &error)) {
        const std::string message = error ? error->message : "unknown error";
        g_clear_error(&error);
        throw std::runtime_error("cannot attach to " + at->devnode + ": " + message);
    }
    at->attached = true;

    // Everything goes in with one call so that the "add" uevent is sent only
    // once the device is complete: a program may open it at once.
    const UsbId id = slot.model->usbId();
    const std::string text = deviceRecord(at->syspath, at->devnode, slot.bus, at->devnum,
                                          deviceDescriptors(id));
    bool added = false;
    listeners->sendWithRoom([&] { added = umockdev_testbed_add_from_string(testbed, text.c_str(), &error); });
    if (!added) {
        const std::string message = error ? error->message : "unknown error";
        g_clear_error(&error);
        throw std::runtime_error("cannot add device " + at->syspath + ": " + message);
    }
    slot.current = at;
    ++slot.generation;
    attachments.push_back(std::move(at));
}

void BusCore::unplugLocked(Slot &slot)
{
    // Also while the screen is away rebooting: pulled then, it stays away.
    ++slot.generation;
    std::shared_ptr<Attachment> at = std::move(slot.current);
    if (!at)
        return;
    {
        std::lock_guard lock(at->mutex);
        at->gone = true;
        slot.ioctls += at->ioctls;
        // What was on the wire ends with a shut-down host controller.
        while (!at->inFlight.empty()) {
            UrbPtr urb = at->inFlight.front();
            urb->status = -ESHUTDOWN;
            urb->actualLength = 0;
            urb->inData.clear();
            urb->answered = true;
            at->completeLocked(urb);
        }
    }
    // The event goes while the device's files still exist: umockdev builds
    // it from them.
    listeners->sendWithRoom([&] { umockdev_testbed_uevent(testbed, at->syspath.c_str(), "remove"); });
    umockdev_testbed_remove_device(testbed, at->syspath.c_str());
}

void BusCore::deliverTouches(Slot &slot)
{
    std::lock_guard lock(mutex);
    if (!slot.current)
        return;
    Attachment &at = *slot.current;
    std::lock_guard atLock(at.mutex);
    serveInterruptLocked(at, slot);
}

void BusCore::serveInterruptLocked(Attachment &at, Slot &slot)
{
    if (at.gone)
        return;
    for (auto it = at.inFlight.begin(); it != at.inFlight.end();) {
        UrbPtr urb = *it++;
        if (urb->type != USBDEVFS_URB_TYPE_INTERRUPT || urb->endpoint != 0x81 || urb->answered)
            continue;
        const auto report = slot.model->takeTouchReport();
        if (!report)
            return;
        const int n = std::min<int>(urb->bufferLength, int(report->size()));
        urb->inData.assign(report->begin(), report->begin() + n);
        urb->actualLength = n;
        urb->status = 0;
        urb->answered = true;
        at.completeLocked(urb);
    }
}

gboolean BusCore::onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user)
{
    auto *at = static_cast<Attachment *>(user);
    return at->owner->handleIoctl(*at, client) ? TRUE : FALSE;
}

bool BusCore::handleIoctl(Attachment &at, UMockdevIoctlClient *client)
{
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    {
        std::lock_guard lock(at.mutex);
        ++at.ioctls;
        if (at.gone && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_DISCARDURB) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return true;
        }
    }
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData *caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
        if (!caps) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return true;
        }
        const uint32_t value = USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_BULK_CONTINUATION
                               | USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT
                               | USBDEVFS_CAP_ZERO_PACKET;
        std::memcpy(caps->data, &value, sizeof value);
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(caps);
        return true;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
        claim(at, client, arg, request == USBDEVFS_CLAIMINTERFACE);
        return true;
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
    case USBDEVFS_RESET:
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    case USBDEVFS_SUBMITURB:
        submitUrb(at, client, arg);
        return true;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        reapUrb(at, client, arg);
        return true;
    case USBDEVFS_DISCARDURB:
        discardUrb(at, client, arg);
        return true;
    default:
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return true;
    }
}

void BusCore::claim(Attachment &at, UMockdevIoctlClient *client, UMockdevIoctlData *arg, bool take)
{
    UMockdevIoctlData *number = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
    if (!number) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    unsigned interface = 0;
    std::memcpy(&interface, number->data, sizeof interface);
    g_object_unref(number);
    int error = 0;
    {
        std::lock_guard lock(at.mutex);
        UMockdevIoctlClient *&holder = at.claims[interface];
        if (take && holder && holder != client)
            error = EBUSY; // another opened file has it
        else if (take)
            holder = client;
        else if (holder == client)
            holder = nullptr;
        else
            error = EINVAL; // not claimed through this file
    }
    umockdev_ioctl_client_complete(client, error ? -1 : 0, error);
}

void BusCore::onVanished(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user)
{
    // A file closed, or its process gone: what it claimed is free.
    auto *at = static_cast<Attachment *>(user);
    std::lock_guard lock(at->mutex);
    for (auto &[interface, holder] : at->claims)
        if (holder == client)
            holder = nullptr;
}

void BusCore::submitUrb(Attachment &at, UMockdevIoctlClient *client, UMockdevIoctlData *arg)
{
    UMockdevIoctlData *urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    if (!urbData) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    auto *raw = reinterpret_cast<usbdevfs_urb *>(urbData->data);
    auto urb = std::make_shared<PendingUrb>();
    urb->client = UMOCKDEV_IOCTL_CLIENT(g_object_ref(client));
    urb->address = urbData->client_addr;
    urb->type = raw->type;
    urb->endpoint = raw->endpoint;
    urb->bufferLength = raw->buffer_length;

    const bool control = raw->type == USBDEVFS_URB_TYPE_CONTROL;
    if (raw->buffer_length < 0 || (control && raw->buffer_length < 8)) {
        g_object_unref(urbData);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    // IN data is only written back when the URB is reaped, so an interrupt
    // transfer does not need its buffer until a touch arrives.
    const bool needsBuffer = control || !(raw->endpoint & 0x80);
    UMockdevIoctlData *buffer = nullptr;
    if (needsBuffer && raw->buffer_length > 0) {
        buffer = umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer),
                                             size_t(raw->buffer_length), nullptr);
        if (!buffer) {
            g_object_unref(urbData);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
    }

    {
        std::lock_guard lock(at.mutex);
        at.inFlight.push_back(urb);
    }
    // The submit itself succeeds at once, as on a real host controller.
    umockdev_ioctl_client_complete(client, 0, 0);
    answer(at, urb, buffer ? buffer->data : nullptr);
    if (buffer)
        g_object_unref(buffer);
    g_object_unref(urbData);
}

void BusCore::answer(Attachment &at, const UrbPtr &urb, const uint8_t *buffer)
{
    Slot &slot = *at.slot;
    ScreenModel &model = *slot.model;
    // The model answers outside the attachment's lock; the result is written
    // into the URB under it, since an unplug may complete the URB meanwhile.
    Reply reply;
    std::vector<uint8_t> inData;
    int actualLength = 0;
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
        Setup setup;
        setup.requestType = buffer[0];
        setup.request = buffer[1];
        setup.value = uint16_t(buffer[2] | buffer[3] << 8);
        setup.index = uint16_t(buffer[4] | buffer[5] << 8);
        setup.length = uint16_t(buffer[6] | buffer[7] << 8);
        const size_t dataRoom = size_t(urb->bufferLength - 8);
        if (setup.length > dataRoom) {
            reply.kind = Reply::Kind::Stall;
        } else {
            reply = model.control(setup, setup.isIn() ? nullptr : buffer + 8, setup.isIn() ? 0 : setup.length);
        }
        if (reply.kind == Reply::Kind::Done && setup.isIn()) {
            inData = std::move(reply.data);
            actualLength = int(inData.size());
        } else if (reply.kind == Reply::Kind::Done) {
            actualLength = int(reply.accepted);
        }
    } else if (urb->type == USBDEVFS_URB_TYPE_BULK && !(urb->endpoint & 0x80)) {
        reply = model.bulkOut(urb->endpoint, buffer, size_t(urb->bufferLength));
        actualLength = int(reply.accepted);
    } else if (urb->type == USBDEVFS_URB_TYPE_INTERRUPT && urb->endpoint == 0x81) {
        std::lock_guard lock(at.mutex);
        serveInterruptLocked(at, slot);
        return;
    } else {
        reply.kind = Reply::Kind::Stall;
    }

    if (reply.kind != Reply::Kind::Silent) { // a silent one stays in flight until discarded
        {
            std::lock_guard lock(at.mutex);
            if (urb->answered || std::find(at.inFlight.begin(), at.inFlight.end(), urb) == at.inFlight.end())
                return; // completed by an unplug meanwhile
            const bool stalled = reply.kind == Reply::Kind::Stall;
            urb->status = stalled ? -EPIPE : 0;
            urb->actualLength = stalled ? 0 : actualLength;
            urb->inData = stalled ? std::vector<uint8_t>() : std::move(inData);
            urb->answered = true;
        }
        auto finish = [&at, urb] {
            std::lock_guard lock(at.mutex);
            if (std::find(at.inFlight.begin(), at.inFlight.end(), urb) != at.inFlight.end())
                at.completeLocked(urb);
        };
        // Attachments live as long as the bus and the scheduler stops first,
        // so a delayed job may keep a plain reference.
        if (reply.delayMs > 0)
            scheduler.after(reply.delayMs, finish);
        else
            finish();
    }

    if (model.takeRebootRequest())
        scheduleReboot(slot);
}

void BusCore::scheduleReboot(Slot &slot)
{
    const int slotNumber = slot.number;
    const uint64_t generation = slot.generation;
    const int delay = slot.model->rebootDelayMs();
    // Leave the bus just after the reboot request has been acknowledged.
    scheduler.after(20, [this, slotNumber, generation, delay] {
        uint64_t afterUnplug;
        {
            std::lock_guard lock(mutex);
            Slot &s = *slots.at(size_t(slotNumber));
            if (s.generation != generation)
                return; // unplugged or replugged by hand meanwhile
            unplugLocked(s);
            afterUnplug = s.generation;
        }
        notify(slotNumber);
        scheduler.after(delay, [this, slotNumber, afterUnplug] {
            {
                std::lock_guard lock(mutex);
                Slot &s = *slots.at(size_t(slotNumber));
                if (s.generation != afterUnplug)
                    return;
                s.model->powerUp();
                try {
                    plugLocked(s);
                } catch (const std::exception &e) {
                    std::fprintf(stderr, "simulated screen %d did not come back: %s\n", slotNumber, e.what());
                    return;
                }
            }
            notify(slotNumber);
        });
    });
}

void BusCore::reapUrb(Attachment &at, UMockdevIoctlClient *client, UMockdevIoctlData *arg)
{
    UrbPtr urb;
    bool gone;
    {
        std::lock_guard lock(at.mutex);
        gone = at.gone;
        for (auto it = at.done.begin(); it != at.done.end(); ++it) {
            if ((*it)->client == client) {
                urb = *it;
                at.done.erase(it);
                break;
            }
        }
        at.updateFifoLocked();
    }
    if (!urb) {
        umockdev_ioctl_client_complete(client, -1, gone ? ENODEV : EAGAIN);
        return;
    }
    // Resolved data is valid only during one ioctl, so the URB is fetched
    // again from the client: the reap argument is made to point at it, and
    // resolving through that pointer loads it.
    UMockdevIoctlData *pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), nullptr);
    if (!pointer || pointer->data_len < int(sizeof(void *))) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    std::memcpy(pointer->data, &urb->address, sizeof(void *));
    UMockdevIoctlData *urbData = umockdev_ioctl_data_resolve(pointer, 0, sizeof(usbdevfs_urb), nullptr);
    if (!urbData) {
        g_object_unref(pointer);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    usbdevfs_urb raw;
    std::memcpy(&raw, urbData->data, sizeof raw);
    raw.status = urb->status;
    raw.actual_length = urb->actualLength;
    UMockdevIoctlData *buffer = nullptr;
    if (!urb->inData.empty() && raw.buffer_length == urb->bufferLength) {
        buffer = umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer),
                                             size_t(urb->bufferLength), nullptr);
        if (buffer) {
            const size_t offset = urb->type == USBDEVFS_URB_TYPE_CONTROL ? 8 : 0;
            const size_t n = std::min(urb->inData.size(), size_t(urb->bufferLength) - offset);
            std::memcpy(buffer->data + offset, urb->inData.data(), n);
        }
    }
    // Status and length only: the buffer field now holds a local address
    // that umockdev swaps back when it writes the URB out.
    std::memcpy(urbData->data + offsetof(usbdevfs_urb, status), &raw.status, sizeof raw.status);
    std::memcpy(urbData->data + offsetof(usbdevfs_urb, actual_length), &raw.actual_length,
                sizeof raw.actual_length);
    umockdev_ioctl_client_complete(client, 0, 0);
    if (buffer)
        g_object_unref(buffer);
    g_object_unref(urbData);
    g_object_unref(pointer);
}

void BusCore::discardUrb(Attachment &at, UMockdevIoctlClient *client, UMockdevIoctlData *arg)
{
    unsigned long address = 0;
    std::memcpy(&address, arg->data, std::min(sizeof address, size_t(arg->data_len)));
    std::lock_guard lock(at.mutex);
    for (const UrbPtr &urb : at.inFlight) {
        if (urb->client == client && urb->address == address) {
            urb->status = -ENOENT;
            urb->actualLength = 0;
            urb->inData.clear();
            urb->answered = true;
            at.completeLocked(urb);
            umockdev_ioctl_client_complete(client, 0, 0);
            return;
        }
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
}

} // namespace sim
