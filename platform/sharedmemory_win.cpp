// The frame share's own platform: kernel objects in the "Global\" namespace,
// seen from every session (creating them there needs administrator rights).
// Only the user who makes them, the administrators and SYSTEM may open
// them: the desktop's pictures are nobody else's to read or paint, and the
// vendor's frame driver runs under the same elevated token. Windows removes
// each object when its last handle closes.
#ifdef _WIN32

#include "sharedmemory.h"

#include <string>
#include <vector>

#include <windows.h>

namespace platform {

namespace {

// A security descriptor whose DACL grants `rights` to the caller's user,
// the administrators and SYSTEM, and nothing to anyone else. Unusable
// (attributes() null) when the caller's user cannot be told.
class PrivateAccess {
public:
    explicit PrivateAccess(DWORD rights)
    {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
            return;
        DWORD length = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &length);
        m_user.resize(length);
        const bool known = length > 0 && GetTokenInformation(token, TokenUser, m_user.data(), length, &length);
        CloseHandle(token);
        DWORD adminsSize = sizeof m_admins;
        DWORD systemSize = sizeof m_system;
        if (!known || !CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, m_admins, &adminsSize)
            || !CreateWellKnownSid(WinLocalSystemSid, nullptr, m_system, &systemSize))
            return;
        const PSID sids[] = {reinterpret_cast<TOKEN_USER *>(m_user.data())->User.Sid, m_admins, m_system};
        DWORD size = sizeof(ACL);
        for (PSID sid : sids)
            size += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(sid);
        m_acl.resize(size);
        auto *acl = reinterpret_cast<ACL *>(m_acl.data());
        if (!InitializeAcl(acl, size, ACL_REVISION))
            return;
        for (PSID sid : sids)
            if (!AddAccessAllowedAce(acl, ACL_REVISION, rights, sid))
                return;
        if (!InitializeSecurityDescriptor(&m_descriptor, SECURITY_DESCRIPTOR_REVISION)
            || !SetSecurityDescriptorDacl(&m_descriptor, TRUE, acl, FALSE))
            return;
        m_attributes.nLength = sizeof(m_attributes);
        m_attributes.lpSecurityDescriptor = &m_descriptor;
        m_attributes.bInheritHandle = FALSE;
        m_usable = true;
    }
    PrivateAccess(const PrivateAccess &) = delete;
    PrivateAccess &operator=(const PrivateAccess &) = delete;

    SECURITY_ATTRIBUTES *attributes() { return m_usable ? &m_attributes : nullptr; }

private:
    std::vector<BYTE> m_user;
    BYTE m_admins[SECURITY_MAX_SID_SIZE]{};
    BYTE m_system[SECURITY_MAX_SID_SIZE]{};
    std::vector<BYTE> m_acl;
    SECURITY_DESCRIPTOR m_descriptor{};
    SECURITY_ATTRIBUTES m_attributes{};
    bool m_usable = false;
};

std::string globalName(const std::string &name)
{
    return "Global\\" + name;
}

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

void describe(std::string *why, const std::string &name, const char *what, DWORD error)
{
    if (why)
        *why = globalName(name) + " " + what + " (error " + std::to_string(error) + ")";
}

class Handle {
public:
    explicit Handle(HANDLE h = nullptr) : m_h(h) {}
    ~Handle()
    {
        if (m_h)
            CloseHandle(m_h);
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    HANDLE get() const { return m_h; }
    HANDLE release()
    {
        HANDLE h = m_h;
        m_h = nullptr;
        return h;
    }

private:
    HANDLE m_h;
};

} // namespace

struct SharedMemory::Native {
    HANDLE mapping = nullptr;
    void *view = nullptr;

    Native() = default;
    Native(const Native &) = delete;
    Native &operator=(const Native &) = delete;
    ~Native()
    {
        if (view)
            UnmapViewOfFile(view);
        if (mapping)
            CloseHandle(mapping);
    }
};

SharedMemory::SharedMemory(std::unique_ptr<Native> native) : m_native(std::move(native))
{
    m_data = static_cast<uint8_t *>(m_native->view);
}

SharedMemory::~SharedMemory() = default;

std::unique_ptr<SharedMemory> SharedMemory::open(const std::string &name, size_t size, std::string *why)
{
    if (name.empty() || size == 0) {
        if (why)
            *why = "\"" + name + "\" is not a usable name for shared memory";
        return nullptr;
    }
    const std::wstring n = wide(globalName(name));
    HANDLE opened = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, n.c_str());
    if (!opened) {
        PrivateAccess access(FILE_MAP_ALL_ACCESS);
        if (!access.attributes()) {
            describe(why, name, "cannot be made private to its user", GetLastError());
            return nullptr;
        }
        const unsigned long long bytes = size;
        opened = CreateFileMappingW(INVALID_HANDLE_VALUE, access.attributes(), PAGE_READWRITE, DWORD(bytes >> 32),
                                    DWORD(bytes & 0xFFFFFFFFu), n.c_str());
    }
    Handle mapping(opened);
    if (!mapping.get()) {
        describe(why, name, "cannot be opened or created", GetLastError());
        return nullptr;
    }
    // Fails for a section smaller than `size`: nothing is mapped past its end.
    void *view = MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, size);
    if (!view) {
        describe(why, name, "cannot be mapped", GetLastError());
        return nullptr;
    }
    auto native = std::make_unique<Native>();
    native->mapping = mapping.release();
    native->view = view;
    std::unique_ptr<SharedMemory> memory(new SharedMemory(std::move(native)));
    memory->m_size = size;
    return memory;
}

bool SharedMemory::broken() const
{
    // A section keeps the size it was created with.
    return false;
}

struct NamedEvent::Native {
    HANDLE event = nullptr;

    Native() = default;
    Native(const Native &) = delete;
    Native &operator=(const Native &) = delete;
    ~Native()
    {
        if (event)
            CloseHandle(event);
    }
};

NamedEvent::NamedEvent(std::unique_ptr<Native> native) : m_native(std::move(native)) {}

NamedEvent::~NamedEvent() = default;

std::unique_ptr<NamedEvent> NamedEvent::open(const std::string &name, std::string *why)
{
    if (name.empty()) {
        if (why)
            *why = "\"\" is not a usable name for an event";
        return nullptr;
    }
    PrivateAccess access(EVENT_ALL_ACCESS);
    if (!access.attributes()) {
        describe(why, name, "cannot be made private to its user", GetLastError());
        return nullptr;
    }
    // Auto-reset, created unset; opens the event when it exists already.
    HANDLE event = CreateEventW(access.attributes(), FALSE, FALSE, wide(globalName(name)).c_str());
    if (!event) {
        describe(why, name, "cannot be opened or created", GetLastError());
        return nullptr;
    }
    auto native = std::make_unique<Native>();
    native->event = event;
    return std::unique_ptr<NamedEvent>(new NamedEvent(std::move(native)));
}

bool NamedEvent::broken() const
{
    return false;
}

void NamedEvent::set()
{
    SetEvent(m_native->event);
}

NamedEvent::Wait NamedEvent::wait(int timeoutMs)
{
    switch (WaitForSingleObject(m_native->event, timeoutMs < 0 ? INFINITE : DWORD(timeoutMs))) {
    case WAIT_OBJECT_0:
        return Wait::Signalled;
    case WAIT_TIMEOUT:
        return Wait::TimedOut;
    default:
        return Wait::Failed;
    }
}

} // namespace platform

#endif // _WIN32
