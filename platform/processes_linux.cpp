// Processes are found through /proc: by the file name of their executable,
// and their children by the parent recorded in each process's stat line.
// Each process is held by a pidfd before it is looked at and signalled, so
// that its number cannot pass to someone else's new process in between.
#include "processes.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

namespace {

// How long a stopped process may take to stop: it is ended anyway then.
constexpr auto kStopPatience = std::chrono::milliseconds(200);

std::string readSmallFile(const std::string &path)
{
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        text.append(buf, size_t(n));
    }
    ::close(fd);
    return text;
}

bool parseNumber(const std::string &text, int64_t *value)
{
    if (text.empty() || text.size() > 18)
        return false;
    int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    *value = v;
    return true;
}

std::vector<int64_t> allPids()
{
    std::vector<int64_t> pids;
    // Opened by open(), not opendir(): thread checkers see open() make the
    // descriptor new, but not opendir(), and then take a number reused
    // from another thread's closed file for a race.
    const int fd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return pids;
    DIR *dir = fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return pids;
    }
    // readdir() is unsafe only on a stream two threads share; this one is ours.
    while (const dirent *entry = readdir(dir)) { // NOLINT(concurrency-mt-unsafe)
        int64_t pid = 0;
        if (parseNumber(entry->d_name, &pid) && pid > 0)
            pids.push_back(pid);
    }
    closedir(dir);
    return pids;
}

std::string imageOf(int64_t pid)
{
    // The link names the file the process runs, whatever it calls itself;
    // a file replaced since (a rebuild) reads "... (deleted)".
    std::error_code error;
    std::string target = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error).string();
    if (error)
        return {};
    const std::string deleted = " (deleted)";
    if (target.size() > deleted.size() && target.compare(target.size() - deleted.size(), deleted.size(), deleted) == 0)
        target.resize(target.size() - deleted.size());
    const size_t slash = target.rfind('/');
    return slash == std::string::npos ? target : target.substr(slash + 1);
}

// The state letter and the parent of `pid` from its stat line; false when
// it cannot be read. The command name in parentheses may hold spaces and
// parentheses itself, so the fields are counted from the last ')'.
bool statOf(int64_t pid, char *state, int64_t *parent)
{
    const std::string line = readSmallFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = line.rfind(')');
    // ") S 1234 ...": the state, then the parent.
    if (close == std::string::npos || close + 4 >= line.size())
        return false;
    const size_t start = close + 4;
    const size_t end = line.find(' ', start);
    if (end == std::string::npos || !parseNumber(line.substr(start, end - start), parent))
        return false;
    *state = line[close + 2];
    return true;
}

int64_t parentOf(int64_t pid)
{
    char state = 0;
    int64_t parent = -1;
    return statOf(pid, &state, &parent) ? parent : -1;
}

// Waits, a short while at most, until `pid` has stopped or is gone: a stop
// signal takes effect after it was sent, and until then the process may
// still start a child.
void awaitStop(int64_t pid)
{
    const auto deadline = std::chrono::steady_clock::now() + kStopPatience;
    for (;;) {
        char state = 0;
        int64_t parent = -1;
        if (!statOf(pid, &state, &parent) || state == 'T' || state == 't' || state == 'Z' || state == 'X')
            return;
        if (std::chrono::steady_clock::now() >= deadline)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// The real user ID from the status file's "Uid:" line (real, effective,
// saved, file system); false when it cannot be read.
bool realUserOf(int64_t pid, uid_t *uid)
{
    const std::string status = readSmallFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("\nUid:");
    if (at == std::string::npos)
        return false;
    size_t start = at + 5;
    while (start < status.size() && (status[start] == '\t' || status[start] == ' '))
        ++start;
    size_t end = start;
    while (end < status.size() && status[end] >= '0' && status[end] <= '9')
        ++end;
    int64_t value = -1;
    if (!parseNumber(status.substr(start, end - start), &value))
        return false;
    *uid = uid_t(value);
    return true;
}

// A process held by its pidfd: a signal sent through it reaches that
// process or none, never a later one with the same number.
class Held {
public:
    explicit Held(int64_t pid) : m_pid(pid)
    {
        m_fd = int(syscall(SYS_pidfd_open, pid_t(pid), 0));
        m_usable = m_fd >= 0 || errno == ENOSYS; // old kernels: plain kill()
    }
    ~Held()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Held(Held &&other) noexcept : m_pid(other.m_pid), m_fd(other.m_fd), m_usable(other.m_usable) { other.m_fd = -1; }
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;
    Held &operator=(Held &&) = delete;

    int64_t pid() const { return m_pid; }
    // Whether it is still there and runs as `user`. Read after the pidfd
    // was opened, so what is read is about the held process (or about
    // nothing, once it is gone).
    bool belongsTo(uid_t user) const
    {
        uid_t uid = 0;
        return m_usable && realUserOf(m_pid, &uid) && uid == user;
    }
    void signal(int sig) const
    {
        if (m_fd >= 0)
            syscall(SYS_pidfd_send_signal, m_fd, sig, nullptr, 0U);
        else if (m_usable)
            kill(pid_t(m_pid), sig);
    }
    // Waits until the process has ended (a zombie counts), at most until
    // `deadline`.
    void awaitEnd(std::chrono::steady_clock::time_point deadline) const
    {
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return;
            if (m_fd >= 0) {
                pollfd p{m_fd, POLLIN, 0};
                const int r = poll(&p, 1, int(left.count()));
                if (r != 0 && !(r < 0 && errno == EINTR))
                    return;
                continue;
            }
            char state = 0;
            int64_t parent = -1;
            if (!m_usable || !statOf(m_pid, &state, &parent) || state == 'Z' || state == 'X')
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

private:
    int64_t m_pid;
    int m_fd = -1;
    bool m_usable = false;
};

} // namespace

std::vector<int64_t> findProcesses(const std::string &imageName)
{
    std::vector<int64_t> found;
    if (imageName.empty())
        return found;
    const int64_t self = getpid();
    for (int64_t pid : allPids())
        if (pid != self && imageOf(pid) == imageName)
            found.push_back(pid);
    return found;
}

void endProcessTrees(const std::string &imageName)
{
    const uid_t user = getuid();
    const int64_t self = getpid();
    std::vector<Held> held;
    for (int64_t pid : findProcesses(imageName)) {
        Held process(pid);
        // Looked at again once held: the number may have changed hands.
        if (process.belongsTo(user) && imageOf(pid) == imageName)
            held.push_back(std::move(process));
    }
    if (held.empty())
        return;
    // Each process of the tree is stopped before its children are looked
    // for, so that none starts another one between the look at the process
    // table and the kill.
    std::set<int64_t> looked;
    size_t stopped = 0;
    while (stopped < held.size()) {
        for (size_t i = stopped; i < held.size(); ++i)
            held[i].signal(SIGSTOP);
        for (size_t i = stopped; i < held.size(); ++i)
            awaitStop(held[i].pid());
        stopped = held.size();
        std::multimap<int64_t, int64_t> children;
        for (int64_t pid : allPids())
            children.emplace(parentOf(pid), pid);
        for (size_t i = 0; i < stopped; ++i) {
            const int64_t parent = held[i].pid();
            if (!looked.insert(parent).second)
                continue;
            const auto [first, last] = children.equal_range(parent);
            for (auto it = first; it != last; ++it) {
                Held child(it->second);
                // A child of another user (a set-user-ID program) is left, and
                // with it whatever it started.
                if (child.pid() != self && child.belongsTo(user) && parentOf(child.pid()) == parent)
                    held.push_back(std::move(child));
            }
        }
    }
    // Asked first, so that a frame driver can give the desktop back as it
    // found it; what has not ended after the grace is killed.
    for (const Held &process : held) {
        process.signal(SIGTERM);
        process.signal(SIGCONT);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kEndGraceMs);
    for (const Held &process : held)
        process.awaitEnd(deadline);
    for (const Held &process : held)
        process.signal(SIGKILL);
}

} // namespace platform
