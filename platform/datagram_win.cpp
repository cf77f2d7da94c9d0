// The vendor's frame driver takes no touches, so nothing listens on Windows.
#include "datagram.h"

namespace platform {

std::unique_ptr<DatagramReceiver> DatagramReceiver::open(const std::string &, std::string *why)
{
    if (why)
        *why = "not available on Windows";
    return nullptr;
}

DatagramReceiver::DatagramReceiver(int fd, std::string path) : m_fd(fd), m_path(std::move(path)) {}

DatagramReceiver::~DatagramReceiver() = default;

bool DatagramReceiver::receive(void *, size_t, int)
{
    return false;
}

DatagramSender::DatagramSender(std::string name) : m_name(std::move(name)) {}

DatagramSender::~DatagramSender() = default;

bool DatagramSender::reach(std::string *why)
{
    if (why)
        *why = "not available on Windows";
    return false;
}

bool DatagramSender::send(const void *, size_t, std::string *why)
{
    return reach(why);
}

} // namespace platform
