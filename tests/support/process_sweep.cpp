// Ends what a scenario left running. Lists every process whose image lies under ROOT or whose
// image name is one of NAMES (a trailing "*" matches any rest, case-insensitive), waits up to
// GRACE_MS for them to end on their own, then terminates each survivor by its process id.
//
//   process_sweep.exe GRACE_MS ROOT NAME...
//   process_sweep.exe when:FILE|TEXT TIMEOUT_MS ROOT NAME...
//
// The second form is an aimed kill of everything a scenario runs at once, old and new launcher
// alike: it creates FILE.sweeping once it has taken FILE's length, then waits (at most
// TIMEOUT_MS) until TEXT appears in what is added to FILE after that, and terminates at once.
//
// Prints one line "PID<TAB>IMAGE" per process it had to terminate; exit code 0 when nothing was
// left, 1 when something was terminated, 2 on a usage error, 3 when TEXT never came.
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

// Waits for the text to appear in what is added to the file, opening the scenario's processes
// as they appear, so that the kill needs no lookup once the text is there. False when the time
// runs out.
bool waitForNewText(const std::wstring& condition, DWORD timeoutMs, const std::wstring& root,
                    const std::vector<std::wstring>& names, std::vector<Found>& opened,
                    std::vector<HANDLE>& handles) {
    const size_t bar = condition.find(L'|');
    if (bar == std::wstring::npos) return false;
    const std::wstring path = condition.substr(5, bar - 5);
    const std::string text = toUtf8(condition.substr(bar + 1));
    const size_t startLength = readFileBytes(path).size();
    appendLine(path + L".sweeping", "ready");
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (unsigned round = 0; GetTickCount64() < deadline; ++round) {
        const std::string content = readFileBytes(path);
        const size_t from = content.size() >= startLength ? startLength : 0;
        if (content.find(text, from) != std::string::npos) return true;
        if (round % 8 == 0) {
            for (const Found& process : matching(root, names)) {
                bool known = false;
                for (const Found& seen : opened)
                    known = known || seen.id == process.id;
                HANDLE handle =
                    known ? nullptr
                          : OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, process.id);
                if (handle == nullptr) continue;
                opened.push_back(process);
                handles.push_back(handle);
            }
        }
        Sleep(1);
    }
    return false;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    const std::wstring first = argv[1];
    const bool aimed = first.rfind(L"when:", 0) == 0;
    const int rootArgument = aimed ? 3 : 2;
    if (argc <= rootArgument) return 2;
    std::wstring root = lower(argv[rootArgument]);
    if (!root.empty() && root.back() != L'\\') root += L'\\';
    std::vector<std::wstring> names;
    for (int i = rootArgument + 1; i < argc; ++i)
        names.push_back(lower(argv[i]));
    const DWORD graceMs = aimed ? 0 : std::wcstoul(argv[1], nullptr, 10);

    bool terminated = false;
    if (aimed) {
        std::vector<Found> opened;
        std::vector<HANDLE> handles;
        const bool came =
            waitForNewText(first, std::wcstoul(argv[2], nullptr, 10), root, names, opened, handles);
        for (size_t i = 0; came && i < handles.size(); ++i) {
            if (WaitForSingleObject(handles[i], 0) != WAIT_TIMEOUT) continue;
            TerminateProcess(handles[i], 996);
            terminated = true;
            std::printf("%lu\t%s\n", static_cast<unsigned long>(opened[i].id),
                        toUtf8(opened[i].image).c_str());
        }
        for (HANDLE handle : handles) {
            WaitForSingleObject(handle, 5000);
            CloseHandle(handle);
        }
        if (!came) return 3;
    }

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
    return left.empty() && !terminated ? 0 : 1;
}
