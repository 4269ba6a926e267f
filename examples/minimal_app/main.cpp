// A minimal Varnix.exe: what every application started by VarnixLauncher.exe does.
//
//   Varnix.exe [--with-graphics]
//
// On start it records one line in "minimal_app.log" beside itself (was it started by the
// launcher, is the optional graphics package there) and opens a small window. With
// --with-graphics and the package's file missing, it asks the launcher for the optional package
// "graphics_compat" instead, at once, well inside the launcher's 1800 ms watch. The window's
// button restarts the application through the launcher, which updates it first.
#include <windows.h>
#include <shellapi.h>

#include <string>

#include "varnix/app.h"

namespace {

constexpr int kRestartButton = 1;
constexpr wchar_t kWindowClass[] = L"VarnixMinimalApp";

std::wstring systemDirectory() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path);
    return directory.substr(0, directory.find_last_of(L"\\/"));
}

// Paths relative to the working directory would point at the root directory, not here.
bool graphicsInstalled() {
    const DWORD attributes = GetFileAttributesW((systemDirectory() + L"\\gfx\\d3d.dll").c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool argumentGiven(const wchar_t* wanted) {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    bool found = false;
    for (int i = 1; i < count; ++i)
        found = found || lstrcmpW(arguments[i], wanted) == 0;
    LocalFree(arguments);
    return found;
}

void record(const std::string& line) {
    const HANDLE log =
        CreateFileW((systemDirectory() + L"\\minimal_app.log").c_str(), FILE_APPEND_DATA,
                    FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log == INVALID_HANDLE_VALUE) return;
    const std::string text = line + "\r\n";
    DWORD written = 0;
    WriteFile(log, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(log);
}

LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND && LOWORD(wParam) == kRestartButton) {
        // The launcher waits for this process to end; end promptly once it has started.
        if (varnix::app::restartThroughLauncher()) DestroyWindow(window);
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    const bool fromLauncher = varnix::app::startedByLauncher();
    const bool graphics = graphicsInstalled();
    if (argumentGiven(L"--with-graphics") && !graphics) {
        record("graphics_compat missing: asking the launcher for it");
        const varnix::app::RequestResult result = varnix::app::requestPackagesAndExit(
            {"graphics_compat"}, "Ускоренная графика", {"gfx/d3d.dll"});
        record("request not written: " + std::to_string(result));  // only reached on failure
        return 1;
    }
    const std::string status = std::string("started by the launcher: ") +
                               (fromLauncher ? "yes" : "no") +
                               "; graphics_compat: " + (graphics ? "installed" : "not installed");
    record(status);

    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = windowProcedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kWindowClass;
    RegisterClassW(&windowClass);
    const HWND window = CreateWindowExW(0, kWindowClass, L"Varnix (minimal example)",
                                        WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 460, 160,
                                        nullptr, nullptr, instance, nullptr);
    const std::wstring text(status.begin(), status.end());  // ASCII only
    CreateWindowExW(0, L"STATIC", text.c_str(), WS_CHILD | WS_VISIBLE, 12, 12, 420, 40, window,
                    nullptr, instance, nullptr);
    CreateWindowExW(0, L"BUTTON", L"Restart to update", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 12,
                    60, 160, 28, window, reinterpret_cast<HMENU>(kRestartButton), instance,
                    nullptr);
    ShowWindow(window, show);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
