// Ends what a scenario left running. Lists every process whose image lies under ROOT or whose
// image name is one of NAMES (a trailing "*" matches any rest, case-insensitive), waits up to
// GRACE_MS for them to end on their own, then terminates each survivor by its process id.
//
//   process_sweep.exe GRACE_MS ROOT NAME...
//
// Prints one line "PID<TAB>IMAGE" per process it had to terminate; exit code 0 when nothing was
// left, 1 when something was terminated, 2 on a usage error.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "json_writer.h"

using namespace varnix_test;

namespace {

struct Found {
    DWORD id;
    std::wstring image;
};

std::wstring lower(std::wstring text) {
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(towlower(c));
    return text;
}

bool nameMatches(const std::wstring& name, const std::vector<std::wstring>& patterns) {
    for (const std::wstring& pattern : patterns) {
        if (!pattern.empty() && pattern.back() == L'*') {
            if (name.rfind(pattern.substr(0, pattern.size() - 1), 0) == 0) return true;
        } else if (name == pattern) {
            return true;
        }
    }
    return false;
}

std::wstring imagePath(DWORD id, const wchar_t* fallback) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    if (process == nullptr) return fallback;
    wchar_t buffer[MAX_PATH * 2] = {};
    DWORD size = MAX_PATH * 2;
    const bool known = QueryFullProcessImageNameW(process, 0, buffer, &size);
    CloseHandle(process);
    return known ? std::wstring(buffer, size) : std::wstring(fallback);
}

std::vector<Found> matching(const std::wstring& root, const std::vector<std::wstring>& names) {
    std::vector<Found> found;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return found;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    const DWORD self = GetCurrentProcessId();
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == self || entry.th32ProcessID == 0) continue;
        const std::wstring image = imagePath(entry.th32ProcessID, entry.szExeFile);
        const std::wstring lowered = lower(image);
        const std::wstring name = lower(entry.szExeFile);
        if (lowered.rfind(root, 0) == 0 || nameMatches(name, names)) {
            found.push_back({entry.th32ProcessID, image});
        }
    }
    CloseHandle(snapshot);
    return found;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    const DWORD graceMs = std::wcstoul(argv[1], nullptr, 10);
    std::wstring root = lower(argv[2]);
    if (!root.empty() && root.back() != L'\\') root += L'\\';
    std::vector<std::wstring> names;
    for (int i = 3; i < argc; ++i)
        names.push_back(lower(argv[i]));

    const ULONGLONG deadline = GetTickCount64() + graceMs;
    std::vector<Found> left = matching(root, names);
    while (!left.empty() && GetTickCount64() < deadline) {
        Sleep(50);
        left = matching(root, names);
    }
    for (const Found& process : left) {
        HANDLE handle = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, process.id);
        if (handle != nullptr) {
            TerminateProcess(handle, 996);
            WaitForSingleObject(handle, 5000);
            CloseHandle(handle);
        }
        std::printf("%lu\t%s\n", static_cast<unsigned long>(process.id),
                    toUtf8(process.image).c_str());
    }
    std::fflush(stdout);
    return left.empty() ? 0 : 1;
}
