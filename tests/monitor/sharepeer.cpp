// The other process of the frame-share tests.
//   sharepeer publish SHARE EVENT ACK WIDTH HEIGHT COUNT
//     publishes COUNT pictures (monitortest::pattern with seeds 0, 1, ...),
//     each once the previous one was acknowledged on the event ACK;
//   sharepeer settwice EVENT
//     sets the event twice.
#include "frameshare.h"
#include "monitortestsupport.h"
#include "sharedmemory.h"

#include <QString>

#include <cstdlib>
#include <cstring>

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "settwice") == 0) {
        auto event = platform::NamedEvent::open(QString::fromLocal8Bit(argv[2]));
        if (!event)
            return 1;
        event->set();
        event->set();
        return 0;
    }
    if (argc != 8 || std::strcmp(argv[1], "publish") != 0)
        return 64;
    monitor::FrameShareNames names;
    names.memory = QString::fromLocal8Bit(argv[2]);
    names.event = QString::fromLocal8Bit(argv[3]);
    auto share = monitor::openFrameShare(names);
    auto ack = platform::NamedEvent::open(QString::fromLocal8Bit(argv[4]));
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
