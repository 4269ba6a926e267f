// Holds a file open, as another program would, until "<file>.release" appears (or 120 s pass).
//   file_holder.exe PATH none|read     none: no sharing at all; read: others may only read
// Writes "<file>.held" once the file is open.
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    const std::wstring path = argv[1];
    const DWORD share = std::wstring(argv[2]) == L"read" ? FILE_SHARE_READ : 0;
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    HANDLE flag = CreateFileW((path + L".held").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              0, nullptr);
    CloseHandle(flag);
    const std::wstring release = path + L".release";
    for (int i = 0; i < 2400 && GetFileAttributesW(release.c_str()) == INVALID_FILE_ATTRIBUTES;
         ++i) {
        Sleep(50);
    }
    CloseHandle(file);
    return 0;
}
