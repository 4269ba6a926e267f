// Dialog driver for the end-to-end suite: starts a program from an exact command line, records
// every top-level window titled "Varnix Launcher" that the program shows (each child control's
// class, id and text), answers it, and records the program's exit code.
//
//   dialog_driver.exe RESULT_FILE ANSWERS CMDLINE_FILE [TIMEOUT_SECONDS [KILL_WHEN]]
//
// KILL_WHEN ends the program from outside (TerminateProcess) the moment a condition holds:
// "exists:PATH" (a file or directory appears), "log:PATH|TEXT" (a file contains TEXT) or
// "after:MS" (that many milliseconds after the start).
// ANSWERS is a comma list of ok, yes, no or close, used one per dialog ("-" for none); when the
// list runs out, a dialog gets its first button. RESULT_FILE receives JSON lines. When the
// environment names a directory in DIALOG_DRIVER_SCREENSHOTS, each dialog is also saved there
// as it appeared on the screen (dialog_N.bmp).
#include <windows.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "json_writer.h"

using namespace varnix_test;

namespace {

struct Control {
    HWND window;
    std::wstring className;
    int id;
    std::wstring text;
};

struct Search {
    DWORD processId;
    HWND found;
};

std::wstring windowText(HWND window) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length)) {
        return {};
    }
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(text.data()),
                        SMTO_ABORTIFHUNG, 2000, &copied);
    text.resize(copied);
    return text;
}

BOOL CALLBACK findDialog(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<Search*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->processId || !IsWindowVisible(window)) return TRUE;
    if (windowText(window) != L"Varnix Launcher") return TRUE;
    search->found = window;
    return FALSE;
}

BOOL CALLBACK collectControl(HWND window, LPARAM parameter) {
    auto* controls = reinterpret_cast<std::vector<Control>*>(parameter);
    wchar_t className[256] = {};
    GetClassNameW(window, className, 256);
    controls->push_back({window, className, GetDlgCtrlID(window), windowText(window)});
    return TRUE;
}

int buttonId(const std::string& answer) {
    if (answer == "yes") return IDYES;
    if (answer == "no") return IDNO;
    return IDOK;
}

std::string recordDialog(const std::vector<Control>& controls, const std::string& answer) {
    std::string json = "{\"type\":\"dialog\",\"answer\":\"" + answer + "\",\"controls\":[";
    for (size_t i = 0; i < controls.size(); ++i) {
        json += (i ? "," : "");
        json += "{\"class\":" + jsonString(controls[i].className) +
                ",\"id\":" + std::to_string(controls[i].id) +
                ",\"text\":" + jsonString(controls[i].text) + "}";
    }
    return json + "]}";
}

bool isButton(const Control& control) {
    return _wcsicmp(control.className.c_str(), L"Button") == 0;
}

void answerDialog(HWND dialog, const std::vector<Control>& controls, std::string& answer) {
    if (answer.empty()) {
        // No answer left: take the first button, as a user pressing Enter would.
        for (const Control& control : controls) {
            if (isButton(control)) {
                answer = control.id == IDYES ? "yes" : control.id == IDNO ? "no" : "ok";
                break;
            }
        }
    }
    if (answer == "close") {
        PostMessageW(dialog, WM_CLOSE, 0, 0);
        return;
    }
    const int id = buttonId(answer);
    HWND button = nullptr;
    for (const Control& control : controls) {
        if (control.id == id && isButton(control)) button = control.window;
    }
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
}

bool killConditionHolds(const std::wstring& condition, ULONGLONG startedTicks) {
    if (condition.rfind(L"after:", 0) == 0) {
        return GetTickCount64() - startedTicks >= std::wcstoull(condition.c_str() + 6, nullptr, 10);
    }
    if (condition.rfind(L"exists:", 0) == 0) {
        return GetFileAttributesW(condition.substr(7).c_str()) != INVALID_FILE_ATTRIBUTES;
    }
    if (condition.rfind(L"log:", 0) == 0) {
        const size_t bar = condition.find(L'|');
        if (bar == std::wstring::npos) return false;
        const std::string content = readFileBytes(condition.substr(4, bar - 4));
        return content.find(toUtf8(condition.substr(bar + 1))) != std::string::npos;
    }
    return false;
}

// The dialog's rectangle as the screen shows it, as a 24-bit bottom-up BMP file.
void saveScreenshot(HWND dialog, const std::wstring& path) {
    RECT rect{};
    if (!GetWindowRect(dialog, &rect)) return;
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0) return;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* pixels = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &pixels, nullptr, 0);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    GdiFlush();
    const DWORD rowBytes = ((width * 3 + 3) / 4) * 4;
    const DWORD imageBytes = rowBytes * height;
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + imageBytes;
    std::string bytes(reinterpret_cast<const char*>(&file), sizeof file);
    bytes.append(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
    bytes.append(static_cast<const char*>(pixels), imageBytes);
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    HANDLE out = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(out);
}

std::wstring screenshotDirectory() {
    wchar_t buffer[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"DIALOG_DRIVER_SCREENSHOTS", buffer, MAX_PATH) == 0) return {};
    return buffer;
}

std::vector<std::string> splitAnswers(const std::string& text) {
    std::vector<std::string> answers;
    if (text == "-") return answers;
    std::istringstream stream(text);
    for (std::string answer; std::getline(stream, answer, ',');)
        answers.push_back(answer);
    return answers;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) return 2;
    const std::wstring resultPath = argv[1];
    std::vector<std::string> answers = splitAnswers(toUtf8(argv[2]));
    std::wstring commandLine = fromUtf8(readFileBytes(argv[3]));
    const DWORD timeoutMs = argc > 4 ? std::wcstoul(argv[4], nullptr, 10) * 1000 : 120000;
    const std::wstring killWhen = argc > 5 ? argv[5] : L"";

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    FILETIME now{};
    GetSystemTimePreciseAsFileTime(&now);
    const unsigned long long ticks =
        (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    appendLine(resultPath, "{\"type\":\"started\",\"ms\":" +
                               std::to_string((ticks - 116444736000000000ULL) / 10000ULL) + "}");
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
        appendLine(resultPath,
                   "{\"type\":\"start_failed\",\"error\":" + std::to_string(GetLastError()) + "}");
        return 2;
    }
    CloseHandle(info.hThread);
    const ULONGLONG startedTicks = GetTickCount64();

    const std::wstring screenshots = screenshotDirectory();
    int dialogCount = 0;
    size_t nextAnswer = 0;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (WaitForSingleObject(info.hProcess, killWhen.empty() ? 50 : 5) == WAIT_TIMEOUT) {
        if (!killWhen.empty() && killConditionHolds(killWhen, startedTicks)) {
            TerminateProcess(info.hProcess, 998);
            WaitForSingleObject(info.hProcess, INFINITE);
            appendLine(resultPath, "{\"type\":\"killed\"}");
            break;
        }
        if (GetTickCount64() > deadline) {
            TerminateProcess(info.hProcess, 999);
            appendLine(resultPath, "{\"type\":\"timeout\"}");
            break;
        }
        Search search{info.dwProcessId, nullptr};
        EnumWindows(findDialog, reinterpret_cast<LPARAM>(&search));
        if (search.found == nullptr) continue;
        Sleep(100);  // let the dialog finish laying out its controls
        std::vector<Control> controls;
        EnumChildWindows(search.found, collectControl, reinterpret_cast<LPARAM>(&controls));
        ++dialogCount;
        if (!screenshots.empty()) {
            saveScreenshot(search.found,
                           screenshots + L"\\dialog_" + std::to_wstring(dialogCount) + L".bmp");
        }
        std::string answer = nextAnswer < answers.size() ? answers[nextAnswer++] : "";
        answerDialog(search.found, controls, answer);
        appendLine(resultPath, recordDialog(controls, answer));
        for (int i = 0; i < 100 && IsWindow(search.found); ++i)
            Sleep(50);
    }
    DWORD exitCode = 0;
    GetExitCodeProcess(info.hProcess, &exitCode);
    CloseHandle(info.hProcess);
    appendLine(resultPath, "{\"type\":\"exit\",\"code\":" + std::to_string(exitCode) + "}");
    return 0;
}
