// The other process of the frame-share tests.
//   sharepeer publish SHARE EVENT ACK WIDTH HEIGHT COUNT
//     publishes COUNT pictures (monitortest::pattern with seeds 0, 1, ...),
//     each once the previous one was acknowledged on the event ACK;
//   sharepeer settwice EVENT
//     sets the event twice;
//   sharepeer open NAME
//     opens the shared memory NAME; on failure prints why and exits 1;
//   sharepeer foreignbus NAME [chained]
//     with the shared memory NAME open, touches a mapping of its own that
//     was cut short, which must end it by SIGBUS; "chained": its own SIGBUS
//     handler, installed first, must be called and exits 42;
//   sharepeer apart WIDTH HEIGHT
//     opens the default frame share, prints "ready", fails (5) when a
//     picture comes within a second, publishes one of its own (seed 7),
//     prints "published" and waits for its standard input to close.
#include "frameshare.h"
#include "monitortestsupport.h"
#include "sharedmemory.h"

#include <QString>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>
#include <unistd.h>

namespace {

void exitFromHandler(int, siginfo_t *, void *)
{
    _exit(42);
}

int foreignBus(const char *name, bool chained)
{
    if (chained) {
        struct sigaction action{};
        action.sa_sigaction = &exitFromHandler;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        sigaction(SIGBUS, &action, nullptr);
    }
    auto guarded = platform::SharedMemory::open(name, 4096);
    if (!guarded)
        return 1;
    const long page = sysconf(_SC_PAGESIZE);
    const int fd = memfd_create("foreign", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, 2 * page) != 0)
        return 2;
    auto *bytes = static_cast<volatile uint8_t *>(mmap(nullptr, size_t(2 * page), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    if (bytes == MAP_FAILED || ftruncate(fd, 0) != 0)
        return 3;
    bytes[page] = 1;
    return 4; // the fault was swallowed
}

int apart(int width, int height)
{
    QString why;
    auto share = monitor::openFrameShare({}, &why);
    if (!share) {
        std::printf("%s\n", why.toLocal8Bit().constData());
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    if (monitor::waitFrame(*share, 1000) != monitor::FrameWait::TimedOut)
        return 5;
    share->writeSize(width, height);
    const monitortest::Bytes picture = monitortest::pattern(width, height, width * 4, 7);
    if (!monitor::publishFrame(*share, picture.data(), width * 4, height))
        return 6;
    std::printf("published\n");
    std::fflush(stdout);
    char line[16];
    while (std::fgets(line, sizeof line, stdin))
        ;
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "settwice") == 0) {
        auto event = platform::NamedEvent::open(argv[2]);
        if (!event)
            return 1;
        event->set();
        event->set();
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "open") == 0) {
        std::string why;
        if (platform::SharedMemory::open(argv[2], 4096, &why))
            return 0;
        std::printf("%s\n", why.c_str());
        return 1;
    }
    if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "foreignbus") == 0)
        return foreignBus(argv[2], argc == 4 && std::strcmp(argv[3], "chained") == 0);
    if (argc == 4 && std::strcmp(argv[1], "apart") == 0)
        return apart(std::atoi(argv[2]), std::atoi(argv[3]));
    if (argc != 8 || std::strcmp(argv[1], "publish") != 0)
        return 64;
    monitor::FrameShareNames names;
    names.memory = QString::fromLocal8Bit(argv[2]);
    names.event = QString::fromLocal8Bit(argv[3]);
    auto share = monitor::openFrameShare(names);
    auto ack = platform::NamedEvent::open(argv[4]);
    if (!share || !ack)
        return 1;
    const int width = std::atoi(argv[5]);
    const int height = std::atoi(argv[6]);
    const int count = std::atoi(argv[7]);
    // The other side's header must be what it wrote before starting us.
    if (share->width() != width || share->height() != height)
        return 2;
    for (int i = 0; i < count; ++i) {
        const monitortest::Bytes picture = monitortest::pattern(width, height, width * 4, i);
        if (!monitor::publishFrame(*share, picture.data(), width * 4, height))
            return 3;
        if (ack->wait(10000) != platform::NamedEvent::Wait::Signalled)
            return 4;
    }
    return 0;
}
