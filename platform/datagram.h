#pragma once

#include <cstddef>
#include <memory>
#include <utility>
#include <string>

// Small messages from the user's programs to one process of the same user,
// by name, dropped rather than queued when the receiver is not there or
// cannot keep up: a sender never waits.
//
// On Linux a datagram socket beside the user's other named objects (see
// userObjectFolder()): created 0600 by the receiver, which takes only what
// a process of its own user sent; a sender sends only to a socket that is
// its user's own and nobody else's. Not available on Windows.
namespace platform {

class DatagramReceiver {
public:
    // Listens at `name` (see userObjectName()), replacing a socket the user left there. Null with
    // `why` when the name is another user's, not a socket, or cannot be
    // bound.
    static std::unique_ptr<DatagramReceiver> open(const std::string &name, std::string *why = nullptr);
    ~DatagramReceiver();
    DatagramReceiver(const DatagramReceiver &) = delete;
    DatagramReceiver &operator=(const DatagramReceiver &) = delete;

    // Waits up to `timeoutMs` for one message of exactly `size` bytes from
    // the same user; false on timeout, a signal, or when what came was
    // another user's or of another size (dropped).
    bool receive(void *message, size_t size, int timeoutMs);
    const std::string &path() const { return m_path; }

private:
    DatagramReceiver(int fd, std::string path);
    int m_fd;
    std::string m_path;
    std::pair<unsigned long, unsigned long> m_file{0, 0}; // device and inode of the socket we bound
};

class DatagramSender {
public:
    explicit DatagramSender(std::string name);
    ~DatagramSender();
    DatagramSender(const DatagramSender &) = delete;
    DatagramSender &operator=(const DatagramSender &) = delete;

    // Sends at once or not at all; false with `why` when nobody of the
    // user's own listens at the name or its queue is full.
    bool send(const void *message, size_t size, std::string *why = nullptr);

private:
    bool reach(std::string *why);
    std::string m_name;
    int m_fd = -1;
};

} // namespace platform
