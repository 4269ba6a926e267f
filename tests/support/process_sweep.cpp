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
#include "process_list.h"

using namespace varnix_test;

namespace {

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
    const std::wstring root = sweepRoot(argv[rootArgument]);
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

    const std::vector<Found> left = endLeftovers(root, names, graceMs);
    for (const Found& process : left) {
        std::printf("%lu\t%s\n", static_cast<unsigned long>(process.id),
                    toUtf8(process.image).c_str());
    }
    std::fflush(stdout);
    return left.empty() && !terminated ? 0 : 1;
}
