// The hold is a named mutex in the machine-wide namespace: another user's
// copy is refused access to it, which tells as plainly that it is held.
#ifdef _WIN32

#include "exclusivename.h"

#include <mutex>
#include <set>

#include <windows.h>

namespace platform {

namespace {

std::mutex g_mutex;
std::set<std::string> g_ours;

std::wstring objectName(const std::string &name)
{
    std::wstring wide = L"Global\\tavrik-hold-";
    for (const char c : name)
        wide += c == '\\' ? L'_' : wchar_t(static_cast<unsigned char>(c));
    return wide;
}

} // namespace

ExclusiveName::ExclusiveName(std::string name, Handle handle) : m_name(std::move(name)), m_handle(handle) {}

ExclusiveName::~ExclusiveName()
{
    CloseHandle(m_handle);
    const std::lock_guard lock(g_mutex);
    g_ours.erase(m_name);
}

std::unique_ptr<ExclusiveName> ExclusiveName::take(const std::string &name)
{
    const std::lock_guard lock(g_mutex);
    if (g_ours.count(name) != 0)
        return nullptr;
    HANDLE mutex = CreateMutexW(nullptr, FALSE, objectName(name).c_str());
    if (!mutex)
        return nullptr;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return nullptr;
    }
    g_ours.insert(name);
    return std::unique_ptr<ExclusiveName>(new ExclusiveName(name, mutex));
}

bool ExclusiveName::heldElsewhere(const std::string &name)
{
    {
        const std::lock_guard lock(g_mutex);
        if (g_ours.count(name) != 0)
            return false;
    }
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, objectName(name).c_str());
    if (mutex) {
        CloseHandle(mutex);
        return true;
    }
    return GetLastError() != ERROR_FILE_NOT_FOUND;
}

} // namespace platform

#endif
