// The hold is a listening socket bound to a name in Linux's abstract socket
// namespace: machine-wide whatever the user, free again the moment its
// process ends, and never a file to clean up after a crash.
#include "exclusivename.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <set>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {

namespace {

std::mutex g_mutex;
std::set<std::string> g_ours;

socklen_t abstractAddress(const std::string &name, sockaddr_un *address)
{
    *address = {};
    address->sun_family = AF_UNIX;
    const std::string full = "tavrik-hold/" + name;
    const size_t n = std::min(full.size(), sizeof address->sun_path - 1);
    // sun_path[0] stays 0: the abstract namespace.
    std::memcpy(address->sun_path + 1, full.data(), n);
    return socklen_t(offsetof(sockaddr_un, sun_path) + 1 + n);
}

} // namespace

ExclusiveName::ExclusiveName(std::string name, Handle handle) : m_name(std::move(name)), m_handle(handle) {}

ExclusiveName::~ExclusiveName()
{
    ::close(m_handle);
    const std::lock_guard lock(g_mutex);
    g_ours.erase(m_name);
}

std::unique_ptr<ExclusiveName> ExclusiveName::take(const std::string &name)
{
    const std::lock_guard lock(g_mutex);
    if (g_ours.count(name) != 0)
        return nullptr;
    // Not handed to the programs we start: the hold is this process's.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    sockaddr_un address;
    const socklen_t length = abstractAddress(name, &address);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), length) != 0 || ::listen(fd, 8) != 0) {
        ::close(fd);
        return nullptr;
    }
    g_ours.insert(name);
    return std::unique_ptr<ExclusiveName>(new ExclusiveName(name, fd));
}

bool ExclusiveName::heldElsewhere(const std::string &name)
{
    {
        const std::lock_guard lock(g_mutex);
        if (g_ours.count(name) != 0)
            return false;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return true;
    sockaddr_un address;
    const socklen_t length = abstractAddress(name, &address);
    // A holder listens and never accepts: the connection waits in its
    // queue until closed here. A full queue answers EAGAIN, still a holder.
    const int r = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), length);
    const int error = errno;
    ::close(fd);
    return r == 0 || error != ECONNREFUSED;
}

} // namespace platform
