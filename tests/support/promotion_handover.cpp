// Stands in for an old launcher that hands over to VarnixLauncher.exe.new: it opens an inheritable
// handle to a running process, starts the new launcher in promote mode with that handle as the
// only one it inherits, and ends at once.
//   promotion_handover.exe HELD_PID ANNOUNCED_PID|self NEW_LAUNCHER
// The variable says "ANNOUNCED_PID:HANDLE"; "self" announces this program's own id, which is not
// the id of the process the handle names.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) return 2;
    const DWORD heldId = static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10));
    const std::wstring announced = argv[2];
    const DWORD announcedId = announced == L"self"
                                  ? GetCurrentProcessId()
                                  : static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10));
    HANDLE held = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, TRUE, heldId);
    if (held == nullptr) return 3;
    const std::wstring value =
        std::to_wstring(announcedId) + L":" + std::to_wstring(reinterpret_cast<uintptr_t>(held));
    SetEnvironmentVariableW(L"VARNIX_LAUNCHER_PROMOTE", value.c_str());

    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::string block(size, '\0');
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(block.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return 4;
    HANDLE inherited[] = {held};
    int result = 5;
    if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                  sizeof inherited, nullptr, nullptr)) {
        STARTUPINFOEXW startup{};
        startup.StartupInfo.cb = sizeof startup;
        startup.lpAttributeList = list;
        PROCESS_INFORMATION info{};
        std::wstring commandLine = L"\"" + std::wstring(argv[3]) + L"\"";
        if (CreateProcessW(argv[3], commandLine.data(), nullptr, nullptr, TRUE,
                           EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr, &startup.StartupInfo,
                           &info)) {
            CloseHandle(info.hThread);
            CloseHandle(info.hProcess);
            result = 0;
        }
    }
    DeleteProcThreadAttributeList(list);
    CloseHandle(held);
    return result;
}
