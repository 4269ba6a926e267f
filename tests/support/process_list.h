#pragma once
// The processes a scenario may have left: every process whose image lies under a root directory
// or whose image name matches one of a list (a trailing "*" matches any rest, case-insensitive).
// Shared by process_sweep.exe and the dialog driver's serving mode.

#include <windows.h>
#include <tlhelp32.h>

#include <cwchar>
#include <string>
#include <vector>

namespace varnix_test {

struct Found {
    DWORD id;
    std::wstring image;
};

inline std::wstring lower(std::wstring text) {
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(towlower(c));
    return text;
}

inline bool nameMatches(const std::wstring& name, const std::vector<std::wstring>& patterns) {
    for (const std::wstring& pattern : patterns) {
        if (!pattern.empty() && pattern.back() == L'*') {
            if (name.rfind(pattern.substr(0, pattern.size() - 1), 0) == 0) return true;
        } else if (name == pattern) {
            return true;
        }
    }
    return false;
}

inline std::wstring imagePath(DWORD id, const wchar_t* fallback) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    if (process == nullptr) return fallback;
    wchar_t buffer[MAX_PATH * 2] = {};
    DWORD size = MAX_PATH * 2;
    const bool known = QueryFullProcessImageNameW(process, 0, buffer, &size);
    CloseHandle(process);
    return known ? std::wstring(buffer, size) : std::wstring(fallback);
}

inline std::vector<Found> matching(const std::wstring& root,
                                   const std::vector<std::wstring>& names) {
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

// Waits up to graceMs for the matching processes to end on their own, then terminates each
// survivor by its process id; returns the ones it had to terminate.
inline std::vector<Found> endLeftovers(const std::wstring& root,
                                       const std::vector<std::wstring>& names, DWORD graceMs) {
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
    }
    return left;
}

// A root as matching() compares it: lower case, ending in a backslash.
inline std::wstring sweepRoot(const std::wstring& root) {
    std::wstring lowered = lower(root);
    if (!lowered.empty() && lowered.back() != L'\\') lowered += L'\\';
    return lowered;
}

}  // namespace varnix_test
