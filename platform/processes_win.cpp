// Processes by image name through the Tool Help snapshot, their children
// by the parent each entry records. They are ended here with
// TerminateProcess rather than by starting taskkill, which a search of the
// current folder and the PATH could find as someone else's program.
#ifdef _WIN32

#include "processes.h"

#include <windows.h>

#include <tlhelp32.h>

#include <map>
#include <vector>

namespace platform {

namespace {

// Rounds of looking for children that a process of the tree started
// before it was ended.
constexpr int kRounds = 8;

std::wstring wide(const std::string &text)
{
    if (text.empty())
        return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring out(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n);
    return out;
}

bool sameImage(const wchar_t *exeFile, const std::wstring &imageName)
{
    // File names on Windows do not tell case apart.
    return CompareStringOrdinal(exeFile, -1, imageName.c_str(), int(imageName.size()), TRUE) == CSTR_EQUAL;
}

struct Entry {
    DWORD pid = 0;
    DWORD parent = 0;
    bool named = false;
};

std::vector<Entry> snapshot(const std::wstring &imageName)
{
    std::vector<Entry> entries;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE)
        return entries;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snap, &entry); more; more = Process32NextW(snap, &entry))
        entries.push_back({entry.th32ProcessID, entry.th32ParentProcessID, sameImage(entry.szExeFile, imageName)});
    CloseHandle(snap);
    return entries;
}

// The user SID in the token of `process`, as the TOKEN_USER block holding
// it; empty when it cannot be read.
std::vector<BYTE> tokenUser(HANDLE process)
{
    std::vector<BYTE> user;
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token))
        return user;
    DWORD length = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &length);
    if (length > 0) {
        user.resize(length);
        if (!GetTokenInformation(token, TokenUser, user.data(), length, &length))
            user.clear();
    }
    CloseHandle(token);
    return user;
}

PSID sidOf(std::vector<BYTE> &user)
{
    return reinterpret_cast<TOKEN_USER *>(user.data())->User.Sid;
}

struct Held {
    HANDLE handle = nullptr;
    FILETIME created{};
};

class Caller {
public:
    Caller()
    {
        m_known = ProcessIdToSessionId(GetCurrentProcessId(), &m_session) != 0;
        m_user = tokenUser(GetCurrentProcess());
        m_known = m_known && !m_user.empty();
    }

    bool known() const { return m_known; }

    // A handle to `pid` when it runs as our user in our session; the
    // handle keeps its number from passing to another process meanwhile,
    // so the session looked up by number afterwards is its own.
    bool hold(DWORD pid, Held *held)
    {
        HANDLE h = OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
        if (!h)
            return false;
        DWORD session = 0;
        std::vector<BYTE> user = tokenUser(h);
        FILETIME exited{};
        FILETIME kernel{};
        FILETIME userTime{};
        if (ProcessIdToSessionId(pid, &session) && session == m_session && !user.empty()
            && EqualSid(sidOf(user), sidOf(m_user))
            && GetProcessTimes(h, &held->created, &exited, &kernel, &userTime)) {
            held->handle = h;
            return true;
        }
        CloseHandle(h);
        return false;
    }

private:
    DWORD m_session = 0;
    std::vector<BYTE> m_user;
    bool m_known = false;
};

} // namespace

unsigned long detachedFromConsoleFlags()
{
    return CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP;
}

std::vector<int64_t> findProcesses(const std::string &imageName)
{
    std::vector<int64_t> found;
    if (imageName.empty())
        return found;
    const DWORD self = GetCurrentProcessId();
    for (const Entry &entry : snapshot(wide(imageName)))
        if (entry.named && entry.pid != self)
            found.push_back(int64_t(entry.pid));
    return found;
}

void endProcessTrees(const std::string &imageName)
{
    if (imageName.empty())
        return;
    const std::wstring name = wide(imageName);
    Caller caller;
    // Whose a process is cannot be told: nothing is ended.
    if (!caller.known())
        return;
    const DWORD self = GetCurrentProcessId();
    std::map<DWORD, Held> ended;
    for (int round = 0; round < kRounds; ++round) {
        const std::vector<Entry> entries = snapshot(name);
        bool grew = false;
        // Parents come before their children in no particular order, so the
        // snapshot is gone through until it yields nobody new.
        for (bool more = true; more;) {
            more = false;
            for (const Entry &entry : entries) {
                if (entry.pid == self || ended.count(entry.pid) != 0)
                    continue;
                const auto parent = ended.find(entry.parent);
                if (!entry.named && parent == ended.end())
                    continue;
                Held held;
                if (!caller.hold(entry.pid, &held))
                    continue;
                // A parent number outlives its process and may be reused: a
                // child is only a child if it started after its parent.
                if (!entry.named && CompareFileTime(&held.created, &parent->second.created) < 0) {
                    CloseHandle(held.handle);
                    continue;
                }
                TerminateProcess(held.handle, 1);
                ended.emplace(entry.pid, held);
                more = grew = true;
            }
        }
        if (!grew)
            break;
    }
    for (auto &[pid, held] : ended)
        CloseHandle(held.handle);
}

} // namespace platform

#endif // _WIN32
