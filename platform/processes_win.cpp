// Processes by image name through the Tool Help snapshot; ending them is
// left to taskkill, which also walks each one's tree of children.
#ifdef _WIN32

#include "processes.h"

#include <windows.h>

#include <tlhelp32.h>

namespace platform {

QList<qint64> findProcesses(const QString &imageName)
{
    QList<qint64> found;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return found;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    const DWORD self = GetCurrentProcessId();
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        const QString name = QString::fromWCharArray(entry.szExeFile);
        if (entry.th32ProcessID != self && name.compare(imageName, Qt::CaseInsensitive) == 0)
            found << qint64(entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return found;
}

void endProcessTrees(const QString &imageName)
{
    // /t takes the children along, /f does not ask; the hidden command
    // window is not waited for.
    const QByteArray command = QStringLiteral("taskkill /im %1 /t /f").arg(imageName).toLocal8Bit();
    WinExec(command.constData(), SW_HIDE);
}

} // namespace platform

#endif // _WIN32
