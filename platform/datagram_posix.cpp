// Unix datagram sockets. The socket file's mode keeps other users from
// sending, and the receiver also asks the kernel who sent each message
// (SO_PASSCRED), so a file made wider meanwhile lets nobody in either. A
// sender looks at the file before it connects: a socket that another user
// bound first under the name gets nothing.
#include "datagram.h"
#include "platform.h"

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {

namespace {

bool addressOf(const std::string &path, sockaddr_un *address)
{
    *address = {};
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof address->sun_path)
        return false;
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

std::string error(const std::string &what)
{
    return what + " (" + std::generic_category().message(errno) + ")";
}

} // namespace

std::unique_ptr<DatagramReceiver> DatagramReceiver::open(const std::string &name, std::string *why)
{
    const auto refuse = [why](const std::string &text) -> std::unique_ptr<DatagramReceiver> {
        if (why)
            *why = text;
        return nullptr;
    };
    const std::string path = userObjectFolder() + name;
    sockaddr_un address{};
    if (!addressOf(path, &address))
        return refuse(path + " is too long a socket name");
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (st.st_uid != geteuid())
            return refuse(path + " belongs to another user");
        if (!S_ISSOCK(st.st_mode))
            return refuse(path + " is not a socket");
        ::unlink(path.c_str()); // left by one of ours that was killed
    }
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return refuse(error("cannot make a socket"));
    std::unique_ptr<DatagramReceiver> receiver(new DatagramReceiver(fd, path));
    const int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0)
        return refuse(error("cannot ask for senders' credentials"));
    if (bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
        return refuse(error("cannot bind " + path));
    if (chmod(path.c_str(), 0600) != 0)
        return refuse(error("cannot make " + path + " private"));
    struct stat bound {};
    if (lstat(path.c_str(), &bound) == 0)
        receiver->m_file = {bound.st_dev, bound.st_ino};
    return receiver;
}

DatagramReceiver::DatagramReceiver(int fd, std::string path) : m_fd(fd), m_path(std::move(path)) {}

DatagramReceiver::~DatagramReceiver()
{
    // Only our own file: a receiver started while this one ended has put
    // its own in its place.
    struct stat there {};
    if (lstat(m_path.c_str(), &there) == 0 && std::pair(there.st_dev, there.st_ino) == m_file)
        ::unlink(m_path.c_str());
    ::close(m_fd);
}

bool DatagramReceiver::receive(void *message, size_t size, int timeoutMs)
{
    pollfd p{m_fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0)
        return false;
    iovec data{message, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))] = {};
    msghdr header{};
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    const ssize_t got = recvmsg(m_fd, &header, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (got != ssize_t(size) || (header.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0)
        return false;
    for (cmsghdr *c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_CREDENTIALS || c->cmsg_len != CMSG_LEN(sizeof(ucred)))
            continue;
        ucred sender{};
        std::memcpy(&sender, CMSG_DATA(c), sizeof sender);
        return sender.uid == geteuid();
    }
    return false;
}

DatagramSender::DatagramSender(std::string name) : m_name(std::move(name)) {}

DatagramSender::~DatagramSender()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool DatagramSender::reach(std::string *why)
{
    const std::string path = userObjectFolder() + m_name;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        if (why)
            *why = path + " is not there";
        return false;
    }
    if (!S_ISSOCK(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
        if (why)
            *why = path + " is not a private socket of the user's own";
        return false;
    }
    sockaddr_un address{};
    if (!addressOf(path, &address))
        return false;
    m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_fd >= 0 && connect(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0)
        return true;
    if (why)
        *why = error("cannot reach " + path);
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    return false;
}

bool DatagramSender::send(const void *message, size_t size, std::string *why)
{
    // A receiver that ended, or a new one in its place, is looked at again.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (m_fd < 0 && !reach(why))
            return false;
        if (::send(m_fd, message, size, MSG_NOSIGNAL) == ssize_t(size))
            return true;
        if (errno == EAGAIN) {
            if (why)
                *why = "the receiver is not keeping up";
            return false;
        }
        if (why)
            *why = error("cannot send");
        ::close(m_fd);
        m_fd = -1;
    }
    return false;
}

} // namespace platform
