// The Windows side of platform/, cross-built with MinGW-w64 and run under
// Wine (no Qt there): named memory seen by two opens, the share's objects
// open to their user, the administrators and SYSTEM alone, the auto-reset
// event and its timeouts, within one process and between two, ending
// programs by image name with their children without taskkill, reading an
// answer from standard input that a stop request cuts short, and a
// console's close held while a screen is being written.
//   tst_platform_win               runs the checks, exit 0 when all pass
//   tst_platform_win settwice NAME  sets the event NAME twice (a peer)
//   tst_platform_win parent NAME EXE
//                                  starts EXE as a child that sleeps, writes
//                                  its process ID into the memory NAME.mem,
//                                  sets the event NAME.evt and sleeps (a
//                                  driver)
//   tst_platform_win sleep         sleeps
#include "console.h"
#include "exclusivename.h"
#include "platform.h"
#include "processes.h"
#include "sharedmemory.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using platform::NamedEvent;
using platform::SharedMemory;

namespace {

int g_failures = 0;

void check(bool ok, const char *what, int line)
{
    if (!ok) {
        std::fprintf(stderr, "FAIL (line %d): %s\n", line, what);
        ++g_failures;
    }
}

std::string unique(const char *what)
{
    return "TAVRIK_WINE_" + std::string(what) + "_" + std::to_string(GetCurrentProcessId());
}

std::string ownPath()
{
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return std::string(path, n);
}

// Starts `exe` with `arguments`; the process handle, or null.
HANDLE start(const std::string &exe, const std::string &arguments)
{
    std::string line = "\"" + exe + "\" " + arguments;
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return nullptr;
    CloseHandle(info.hThread);
    return info.hProcess;
}

bool ended(HANDLE process, DWORD ms)
{
    return WaitForSingleObject(process, ms) == WAIT_OBJECT_0;
}

void namesAndSuffix()
{
    check(platform::exeSuffix() == ".exe", "programs end in .exe", __LINE__);
    // The vendor's driver meets us at the machine-wide names.
    check(platform::userObjectName("TELV_FRAME_SHARE") == "TELV_FRAME_SHARE", "names stay machine-wide", __LINE__);
}

void secondOpenSeesTheSameBytes()
{
    const std::string name = unique("mem");
    constexpr size_t size = 0x800000;
    auto a = SharedMemory::open(name, size);
    check(a != nullptr, "the block opens", __LINE__);
    if (!a)
        return;
    check(a->size() == size && a->data()[0] == 0 && a->data()[size - 1] == 0, "a new block is zero-filled", __LINE__);
    a->data()[12] = 0x5A;
    a->data()[size - 1] = 0xA5;
    auto b = SharedMemory::open(name, size);
    check(b != nullptr && b->data() != a->data(), "a second open maps it again", __LINE__);
    if (!b)
        return;
    check(b->data()[12] == 0x5A && b->data()[size - 1] == 0xA5, "the second open sees the first one's bytes", __LINE__);
    b->data()[100] = 7;
    check(a->data()[100] == 7, "and the first sees the second's", __LINE__);
    check(!a->broken() && !b->broken(), "a section is never cut short", __LINE__);
    // Nothing is mapped past the end of an existing section.
    std::string why;
    check(!SharedMemory::open(name, size * 2, &why), "a larger view of it is refused", __LINE__);
    check(why.find("Global\\" + name) != std::string::npos, "the refusal names the object", __LINE__);
    check(!SharedMemory::open({}, size) && !SharedMemory::open(name, 0), "unusable names and sizes are refused",
          __LINE__);
}

void lastCloseRemovesTheBlock()
{
    const std::string name = unique("gone");
    auto a = SharedMemory::open(name, 4096);
    if (a)
        a->data()[5] = 42;
    a.reset();
    auto again = SharedMemory::open(name, 4096);
    check(again && again->data()[5] == 0, "a block opened after the last close starts afresh", __LINE__);
}

std::string sidText(PSID sid)
{
    char *text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text))
        return {};
    std::string out(text);
    LocalFree(text);
    return out;
}

// The frame share's objects as another open reads them back: a DACL that
// lets in exactly the user who made them, the administrators and SYSTEM,
// each with every access (there used to be none: everyone let in).
void shareObjectsArePrivate()
{
    HANDLE token = nullptr;
    std::vector<BYTE> user(256);
    DWORD length = 0;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    GetTokenInformation(token, TokenUser, user.data(), DWORD(user.size()), &length);
    CloseHandle(token);
    std::vector<std::string> expected = {sidText(reinterpret_cast<TOKEN_USER *>(user.data())->User.Sid),
                                         "S-1-5-32-544", "S-1-5-18"};
    std::sort(expected.begin(), expected.end());
    for (const bool memory : {true, false}) {
        const std::string name = unique(memory ? "privmem" : "privevt");
        const auto shared = memory ? SharedMemory::open(name, 4096) : nullptr;
        const auto event = memory ? nullptr : NamedEvent::open(name);
        const std::string global = "Global\\" + name;
        HANDLE h = memory ? OpenFileMappingA(READ_CONTROL, FALSE, global.c_str())
                          : OpenEventA(READ_CONTROL, FALSE, global.c_str());
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (h)
            GetSecurityInfo(h, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                            &descriptor);
        std::vector<std::string> granted;
        for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
            void *ace = nullptr;
            GetAce(dacl, i, &ace);
            const auto *allowed = static_cast<ACCESS_ALLOWED_ACE *>(ace);
            const bool all = allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE
                             && allowed->Mask == (memory ? DWORD(FILE_MAP_ALL_ACCESS) : DWORD(EVENT_ALL_ACCESS));
            granted.push_back((all ? "" : "partly ") + sidText(const_cast<DWORD *>(&allowed->SidStart)));
        }
        std::sort(granted.begin(), granted.end());
        check((shared || event) && granted == expected,
              memory ? "the memory lets in only its user, the administrators and SYSTEM"
                     : "the event lets in only its user, the administrators and SYSTEM",
              __LINE__);
        LocalFree(descriptor);
        if (h)
            CloseHandle(h);
    }
}

void setTwiceWakesOneWait()
{
    const std::string name = unique("evt");
    auto setter = NamedEvent::open(name);
    auto waiter = NamedEvent::open(name);
    check(setter && waiter, "the event opens twice", __LINE__);
    if (!setter || !waiter)
        return;
    setter->set();
    setter->set();
    check(waiter->wait(0) == NamedEvent::Wait::Signalled, "a set is kept for the next wait", __LINE__);
    check(waiter->wait(50) == NamedEvent::Wait::TimedOut, "two sets wake one wait (auto-reset)", __LINE__);
    check(setter->wait(0) == NamedEvent::Wait::TimedOut, "the setter's own wait finds it clear", __LINE__);
    check(!waiter->broken(), "an event is never cut short", __LINE__);
}

void waitWithoutSetTimesOut()
{
    auto e = NamedEvent::open(unique("quiet"));
    if (!e) {
        check(false, "the event opens", __LINE__);
        return;
    }
    const ULONGLONG start = GetTickCount64();
    check(e->wait(150) == NamedEvent::Wait::TimedOut, "a wait without a set times out", __LINE__);
    check(GetTickCount64() - start >= 130, "after the time asked for", __LINE__);
}

DWORD WINAPI setLater(void *event)
{
    Sleep(100);
    static_cast<NamedEvent *>(event)->set();
    return 0;
}

void setWakesAWaitWithoutLimit()
{
    const std::string name = unique("later");
    auto waiter = NamedEvent::open(name);
    auto setter = NamedEvent::open(name);
    if (!waiter || !setter) {
        check(false, "the event opens", __LINE__);
        return;
    }
    HANDLE thread = CreateThread(nullptr, 0, &setLater, setter.get(), 0, nullptr);
    check(waiter->wait(-1) == NamedEvent::Wait::Signalled, "a set from another thread ends a wait without limit",
          __LINE__);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

void eventSetInAnotherProcess()
{
    const std::string name = unique("peer");
    auto e = NamedEvent::open(name);
    HANDLE peer = start(ownPath(), "settwice " + name);
    check(peer != nullptr, "the peer starts", __LINE__);
    if (!e || !peer)
        return;
    check(ended(peer, 10000), "the peer ends", __LINE__);
    CloseHandle(peer);
    check(e->wait(2000) == NamedEvent::Wait::Signalled, "the peer's set arrives", __LINE__);
    check(e->wait(100) == NamedEvent::Wait::TimedOut, "its two sets wake one wait", __LINE__);
}

void aNameIsHeldByOneProcessAtATime()
{
    const std::string name = unique("hold");
    {
        auto mine = platform::ExclusiveName::take(name);
        check(mine != nullptr, "a free name is taken", __LINE__);
        check(!platform::ExclusiveName::take(name), "taken twice in one process: refused", __LINE__);
        check(!platform::ExclusiveName::heldElsewhere(name), "the caller's own hold is not another's", __LINE__);
    }
    HANDLE peer = start(ownPath(), "hold " + name);
    check(peer != nullptr, "the peer starts", __LINE__);
    if (!peer)
        return;
    bool seen = false;
    for (int i = 0; i < 500 && !seen; ++i, Sleep(10))
        seen = platform::ExclusiveName::heldElsewhere(name);
    check(seen, "another process's hold is seen", __LINE__);
    check(!platform::ExclusiveName::take(name), "and the name cannot be taken", __LINE__);
    TerminateProcess(peer, 0);
    check(ended(peer, 10000), "the peer ends", __LINE__);
    CloseHandle(peer);
    check(!platform::ExclusiveName::heldElsewhere(name), "a process's end lets its hold go", __LINE__);
    check(platform::ExclusiveName::take(name) != nullptr, "and the name is free again", __LINE__);
}

std::string copyOfSelf(const std::string &name)
{
    char folder[MAX_PATH];
    const DWORD n = GetTempPathA(MAX_PATH, folder);
    const std::string path = std::string(folder, n) + name;
    return CopyFileA(ownPath().c_str(), path.c_str(), FALSE) ? path : std::string();
}

void endingByNameEndsTheTreeAndSparesOthers()
{
    const std::string endName = "tavrikend" + std::to_string(GetCurrentProcessId()) + ".exe";
    const std::string keepName = "tavrikkeep" + std::to_string(GetCurrentProcessId()) + ".exe";
    const std::string endPath = copyOfSelf(endName);
    const std::string keepPath = copyOfSelf(keepName);
    check(!endPath.empty() && !keepPath.empty(), "the program is copied under two names", __LINE__);
    const std::string meet = unique("tree");
    // Memory and events share one namespace: one name each.
    auto childPid = SharedMemory::open(meet + ".mem", 4096);
    auto ready = NamedEvent::open(meet + ".evt");
    HANDLE parent = start(endPath, "parent " + meet + " \"" + ownPath() + "\"");
    HANDLE kept = start(keepPath, "sleep");
    check(parent && kept && childPid && ready, "both programs start", __LINE__);
    if (!parent || !kept || !childPid || !ready)
        return;
    check(ready->wait(10000) == NamedEvent::Wait::Signalled, "the parent has started its child", __LINE__);
    DWORD child = 0;
    std::memcpy(&child, childPid->data(), sizeof child);
    HANDLE grandchild = OpenProcess(SYNCHRONIZE, FALSE, child);
    check(grandchild != nullptr, "the child runs", __LINE__);

    std::string upper = endName;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](char c) { return char(std::toupper(static_cast<unsigned char>(c))); });
    check(platform::findProcesses(upper).size() == 1, "image names are found whatever their case", __LINE__);

    platform::endProcessTrees(endName);
    check(ended(parent, 5000), "the program of that name is ended", __LINE__);
    check(grandchild && ended(grandchild, 5000), "and its child, which runs under another name", __LINE__);
    check(!ended(kept, 300), "a program of another name is spared", __LINE__);
    check(platform::findProcesses(endName).empty(), "nothing of that name is left", __LINE__);
    platform::endProcessTrees(endName); // nothing left to end

    TerminateProcess(kept, 0);
    ended(kept, 5000);
    for (HANDLE h : {parent, kept, grandchild})
        if (h)
            CloseHandle(h);
    DeleteFileA(endPath.c_str());
    DeleteFileA(keepPath.c_str());
}

std::atomic<bool> g_stop{false};

DWORD WINAPI stopLater(void *)
{
    Sleep(200);
    g_stop = true;
    return 0;
}

// Standard input as a pipe, from the other end of which `text` was written
// (and which is then closed when `close` says so).
void answersFromAPipe()
{
    struct Row {
        const char *name;
        const char *text;
        bool close;
        std::optional<std::string> first, second;
    };
    const Row rows[] = {
        {"lines, one ended the Windows way", "yes\r\nno\n", false, "yes", "no"},
        {"a last line without its end", "ab", true, "ab", ""},
        {"input at its end at once", "", true, "", ""},
        {"a stop while nothing comes", "", false, std::nullopt, std::nullopt},
    };
    const HANDLE savedIn = GetStdHandle(STD_INPUT_HANDLE);
    for (const Row &row : rows) {
        HANDLE read = nullptr;
        HANDLE write = nullptr;
        if (!CreatePipe(&read, &write, nullptr, 0)) {
            check(false, "a pipe is made", __LINE__);
            return;
        }
        DWORD written = 0;
        WriteFile(write, row.text, DWORD(std::strlen(row.text)), &written, nullptr);
        if (row.close) {
            CloseHandle(write);
            write = nullptr;
        }
        SetStdHandle(STD_INPUT_HANDLE, read);
        g_stop = false;
        // Nothing comes through the pipe left open: only the stop ends the wait.
        HANDLE stopper = row.first ? nullptr : CreateThread(nullptr, 0, &stopLater, nullptr, 0, nullptr);
        const auto stopped = [] { return g_stop.load(); };
        const std::optional<std::string> first = platform::readInputLine(stopped, 50);
        const std::optional<std::string> second = platform::readInputLine(stopped, 50);
        check(first == row.first && second == row.second, row.name, __LINE__);
        if (stopper) {
            WaitForSingleObject(stopper, INFINITE);
            CloseHandle(stopper);
        }
        CloseHandle(read);
        if (write)
            CloseHandle(write);
    }
    SetStdHandle(STD_INPUT_HANDLE, savedIn);
}

std::atomic<int> g_stopRequests{0};

void countStop()
{
    ++g_stopRequests;
}

// A console event delivered as Windows delivers it: a new thread of the
// process starting at CtrlRoutine. The handler holds a close until that
// thread ends, and Windows ends the program then.
void consoleCloseWaitsForTheWrite()
{
    using Routine = DWORD(WINAPI *)(void *);
    const auto routine = reinterpret_cast<Routine>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("kernelbase.dll"), "CtrlRoutine")));
    struct Row {
        const char *name;
        DWORD event;
        bool writing;
        bool held;
    };
    const Row rows[] = {
        {"a close during a write waits for its end, saying why", CTRL_CLOSE_EVENT, true, true},
        {"a close with no write running lets the program go at once", CTRL_CLOSE_EVENT, false, false},
        {"Ctrl-Break during a write asks to stop and holds nothing", CTRL_BREAK_EVENT, true, false},
        {"Ctrl-C during a write asks to stop and holds nothing", CTRL_C_EVENT, true, false},
    };
    platform::catchStopRequests(countStop);
    const HANDLE savedErr = GetStdHandle(STD_ERROR_HANDLE);
    for (const Row &row : rows) {
        HANDLE read = nullptr;
        HANDLE write = nullptr;
        CreatePipe(&read, &write, nullptr, 0);
        SetStdHandle(STD_ERROR_HANDLE, write);
        platform::setWriting(row.writing);
        const int stops = g_stopRequests.load();
        HANDLE handler = routine ? CreateThread(nullptr, 0, routine, reinterpret_cast<void *>(ULONG_PTR(row.event)),
                                                0, nullptr)
                                 : nullptr;
        // Held: still there a while later, gone once the write ends. Not
        // held: gone while the row's write still runs.
        bool answered = handler && (row.held ? !ended(handler, 500) : ended(handler, 10000));
        platform::setWriting(false);
        answered = answered && ended(handler, 10000);
        char said[512] = {};
        DWORD n = 0;
        if (PeekNamedPipe(read, nullptr, 0, nullptr, &n, nullptr) && n > 0)
            ReadFile(read, said, sizeof said - 1, &n, nullptr);
        check(answered && g_stopRequests.load() == stops + 1
                  && (std::strstr(said, "still being written") != nullptr) == row.held,
              row.name, __LINE__);
        SetStdHandle(STD_ERROR_HANDLE, savedErr);
        for (HANDLE h : {handler, read, write})
            if (h)
                CloseHandle(h);
    }
}

int parentMode(const std::string &meet, const std::string &childExe)
{
    HANDLE child = start(childExe, "sleep");
    auto memory = SharedMemory::open(meet + ".mem", 4096);
    auto ready = NamedEvent::open(meet + ".evt");
    if (!child || !memory || !ready)
        return 1;
    const DWORD pid = GetProcessId(child);
    std::memcpy(memory->data(), &pid, sizeof pid);
    ready->set();
    Sleep(INFINITE);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "settwice") == 0) {
        auto event = NamedEvent::open(argv[2]);
        if (!event)
            return 1;
        event->set();
        event->set();
        return 0;
    }
    if (argc == 4 && std::strcmp(argv[1], "parent") == 0)
        return parentMode(argv[2], argv[3]);
    if (argc == 3 && std::strcmp(argv[1], "hold") == 0) {
        const auto hold = platform::ExclusiveName::take(argv[2]);
        Sleep(60000);
        return hold ? 0 : 1;
    }
    if (argc == 2 && std::strcmp(argv[1], "sleep") == 0) {
        Sleep(60000);
        return 0;
    }
    namesAndSuffix();
    secondOpenSeesTheSameBytes();
    shareObjectsArePrivate();
    lastCloseRemovesTheBlock();
    setTwiceWakesOneWait();
    waitWithoutSetTimesOut();
    setWakesAWaitWithoutLimit();
    eventSetInAnotherProcess();
    aNameIsHeldByOneProcessAtATime();
    endingByNameEndsTheTreeAndSparesOthers();
    answersFromAPipe();
    consoleCloseWaitsForTheWrite();
    std::printf("%s: %d failed\n", g_failures == 0 ? "PASS" : "FAIL", g_failures);
    return g_failures == 0 ? 0 : 1;
}
