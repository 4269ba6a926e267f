#include "platform/process.h"

#include <windows.h>
#include <tlhelp32.h>

#include "platform/handle.h"

namespace varnix {

bool isProcessRunning(const WideString& executableName) {
    ToolhelpSnapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return false;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, executableName.c_str()) == 0) return true;
    }
    return false;
}

ProcessIdentity currentProcessIdentity() {
    FILETIME created{}, exited{}, kernel{}, user{};
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    ProcessIdentity identity;
    identity.id = GetCurrentProcessId();
    identity.creationTime =
        (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    return identity;
}

}  // namespace varnix
