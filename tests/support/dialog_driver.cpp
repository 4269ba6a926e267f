// Dialog driver for the end-to-end suite: starts a program from an exact command line, records
// every top-level window titled "Varnix Launcher" that the program shows (each child control's
// class, id and text), answers it, and records the program's exit code.
//
//   dialog_driver.exe RESULT_FILE ANSWERS_FILE CMDLINE_FILE [TIMEOUT_SECONDS [KILL_WHEN]]
//   dialog_driver.exe --serve      (the same runs and process sweeps on request; see serve())
//
// KILL_WHEN ends the program from outside (TerminateProcess) the moment a condition holds:
// "exists:PATH" (a file or directory appears), "log:PATH|TEXT" (a file contains TEXT),
// "new:PATH|TEXT" (TEXT appears in what was added to the file since the driver started: aims a
// kill at one log line of this run) or "after:MS" (that many milliseconds after the start).
// ANSWERS_FILE (UTF-8) says which dialogs the test expects and how each is answered: a first
// line "ordered" or "keyed", then one line per answer, "ANSWER<TAB>MAIN INSTRUCTION", where
// ANSWER is ok, yes, no or close. "ordered": the n-th dialog must carry the n-th line's main
// instruction; "keyed": any dialog whose main instruction is listed gets that answer. A dialog
// that matches no line is never answered: it is recorded as "unexpected" and the program is
// ended at once (exit code 997), so a test fails on the first dialog it did not foresee.
// RESULT_FILE receives JSON lines. When the environment names a directory in
// DIALOG_DRIVER_SCREENSHOTS, each dialog is also saved there as it appeared (dialog_N.bmp).
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "json_writer.h"
#include "process_list.h"

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

struct Answer {
    std::string answer;
    std::wstring mainInstruction;
};

struct Answers {
    bool ordered = false;
    std::vector<Answer> lines;
    size_t next = 0;

    // The answer for a dialog with this main instruction; empty when the test did not expect it.
    std::string take(const std::wstring& mainInstruction) {
        if (ordered) {
            if (next >= lines.size() || lines[next].mainInstruction != mainInstruction) return {};
            return lines[next++].answer;
        }
        for (const Answer& line : lines) {
            if (line.mainInstruction == mainInstruction) return line.answer;
        }
        return {};
    }
};

Answers readAnswers(const std::wstring& path) {
    Answers answers;
    std::istringstream stream(readFileBytes(path));
    std::string line;
    if (std::getline(stream, line)) answers.ordered = line == "ordered";
    while (std::getline(stream, line)) {
        const size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        answers.lines.push_back({line.substr(0, tab), fromUtf8(line.substr(tab + 1))});
    }
    return answers;
}

bool isStatic(const Control& control) {
    return _wcsicmp(control.className.c_str(), L"Static") == 0;
}

// A message box holds its whole text in the static control 65535, the main instruction before
// the first blank line; a task dialog shows the main instruction as its first non-empty static.
std::wstring mainInstruction(const std::vector<Control>& controls) {
    for (const Control& control : controls) {
        if (isStatic(control) && control.id == 65535) {
            return control.text.substr(0, control.text.find(L"\n\n"));
        }
    }
    for (const Control& control : controls) {
        if (isStatic(control) && !control.text.empty()) return control.text;
    }
    return {};
}

int buttonId(const std::string& answer) {
    if (answer == "yes") return IDYES;
    if (answer == "no") return IDNO;
    return IDOK;
}

std::string recordDialog(const char* type, const std::vector<Control>& controls,
                         const std::string& answer) {
    std::string json =
        std::string("{\"type\":\"") + type + "\",\"answer\":\"" + answer + "\",\"controls\":[";
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

void answerDialog(HWND dialog, const std::vector<Control>& controls, const std::string& answer) {
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

// How long a file was when the driver started; a file that has since become shorter (a
// rotated log) counts from its beginning.
size_t g_startLength = 0;

std::wstring conditionPath(const std::wstring& condition) {
    const size_t colon = condition.find(L':');
    const size_t bar = condition.find(L'|');
    if (colon == std::wstring::npos || bar == std::wstring::npos) return {};
    return condition.substr(colon + 1, bar - colon - 1);
}

bool killConditionHolds(const std::wstring& condition, ULONGLONG startedTicks) {
    if (condition.rfind(L"new:", 0) == 0) {
        const std::string content = readFileBytes(conditionPath(condition));
        const size_t from = content.size() >= g_startLength ? g_startLength : 0;
        return content.find(toUtf8(condition.substr(condition.find(L'|') + 1)), from) !=
               std::string::npos;
    }
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

std::vector<Control> controlsOf(HWND dialog) {
    std::vector<Control> controls;
    EnumChildWindows(dialog, collectControl, reinterpret_cast<LPARAM>(&controls));
    return controls;
}

bool sameControls(const std::vector<Control>& a, const std::vector<Control>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].id != b[i].id || a[i].text != b[i].text || a[i].className != b[i].className)
            return false;
    }
    return true;
}

// A dialog becomes visible while it may still be laying out its controls. It is read once it has
// a button and a main instruction and has looked the same three times in a row. On a busy machine
// Wine can take seconds to fill a task dialog; one read too early would find no instruction and
// take a dialog the test foresaw for an unexpected one.
std::vector<Control> settledControls(HWND dialog) {
    constexpr ULONGLONG kSettleMilliseconds = 20000;
    const ULONGLONG deadline = GetTickCount64() + kSettleMilliseconds;
    std::vector<Control> previous = controlsOf(dialog);
    int stableLooks = 0;
    while (stableLooks < 3 && GetTickCount64() < deadline && IsWindow(dialog)) {
        Sleep(25);
        std::vector<Control> current = controlsOf(dialog);
        const bool ready = std::any_of(current.begin(), current.end(), isButton) &&
                           !mainInstruction(current).empty();
        stableLooks = ready && sameControls(previous, current) ? stableLooks + 1 : 0;
        previous = std::move(current);
    }
    return previous;
}

// One run: the program of CMDLINE_FILE, its dialogs answered from ANSWERS_FILE, its records in
// RESULT_FILE.
int drive(const std::wstring& resultPath, const std::wstring& answersPath,
          const std::wstring& commandLinePath, DWORD timeoutMs, const std::wstring& killWhen) {
    Answers answers = readAnswers(answersPath);
    std::wstring commandLine = fromUtf8(readFileBytes(commandLinePath));
    g_startLength =
        killWhen.rfind(L"new:", 0) == 0 ? readFileBytes(conditionPath(killWhen)).size() : 0;

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
        // The launcher shows every dialog from its one thread: listing that thread's windows
        // costs Wine one request, where the whole desktop costs one per window.
        Search search{info.dwProcessId, nullptr};
        EnumThreadWindows(info.dwThreadId, findDialog, reinterpret_cast<LPARAM>(&search));
        if (search.found == nullptr) continue;
        const std::vector<Control> controls = settledControls(search.found);
        // A window with the dialog's title that Wine destroyed before it held a single control
        // (seen while two benches' Wines shared one X display) could never have been read or
        // answered: it is recorded and the driver goes on watching. A dialog the program meant
        // to show and never did still fails the test (its answer never comes, or the contents
        // differ).
        if (controls.empty() && !IsWindow(search.found)) {
            appendLine(resultPath, "{\"type\":\"vanished\"}");
            continue;
        }
        ++dialogCount;
        if (!screenshots.empty()) {
            saveScreenshot(search.found,
                           screenshots + L"\\dialog_" + std::to_wstring(dialogCount) + L".bmp");
        }
        const std::string answer = answers.take(mainInstruction(controls));
        if (answer.empty()) {
            appendLine(resultPath, recordDialog("unexpected", controls, answer));
            TerminateProcess(info.hProcess, 997);
            WaitForSingleObject(info.hProcess, INFINITE);
            break;
        }
        answerDialog(search.found, controls, answer);
        appendLine(resultPath, recordDialog("dialog", controls, answer));
        for (int i = 0; i < 100 && IsWindow(search.found); ++i)
            Sleep(50);
    }
    DWORD exitCode = 0;
    GetExitCodeProcess(info.hProcess, &exitCode);
    CloseHandle(info.hProcess);
    appendLine(resultPath, "{\"type\":\"exit\",\"code\":" + std::to_string(exitCode) + "}");
    return 0;
}

std::vector<std::wstring> tabSeparated(const std::wstring& line) {
    std::vector<std::wstring> fields;
    size_t start = 0;
    for (size_t tab; (tab = line.find(L'\t', start)) != std::wstring::npos; start = tab + 1)
        fields.push_back(line.substr(start, tab - start));
    fields.push_back(line.substr(start));
    return fields;
}

void writeOut(HANDLE out, const std::string& text) {
    DWORD written = 0;
    WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// Serving mode: one driver for a whole test session, so that a run costs no start of its own
// under Wine. Requests come on standard input, one line each (UTF-8, fields separated by tabs):
//   run<TAB>RESULT_FILE<TAB>ANSWERS_FILE<TAB>CMDLINE_FILE<TAB>TIMEOUT_SECONDS<TAB>KILL_WHEN
//   sweep<TAB>GRACE_MS<TAB>ROOT<TAB>NAME...   (as process_sweep.exe; this driver is spared)
// Each is answered on standard output: a sweep's "PID<TAB>IMAGE" lines, then "done". The driver
// ends when its input ends.
int serve() {
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    // The programs it starts see NUL as their standard handles, as under a driver started on its
    // own, and can never write into the requests' answers.
    const HANDLE nul =
        CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    for (const DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
        SetStdHandle(which, nul);
    std::string pending;
    char chunk[4096];
    DWORD read = 0;
    while (ReadFile(in, chunk, sizeof chunk, &read, nullptr) && read > 0) {
        pending.append(chunk, read);
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
            const std::vector<std::wstring> fields = tabSeparated(fromUtf8(pending.substr(0, end)));
            pending.erase(0, end + 1);
            if (fields[0] == L"run" && fields.size() == 6) {
                drive(fields[1], fields[2], fields[3],
                      std::wcstoul(fields[4].c_str(), nullptr, 10) * 1000, fields[5]);
            } else if (fields[0] == L"sweep" && fields.size() >= 3) {
                std::vector<std::wstring> names;
                for (size_t i = 3; i < fields.size(); ++i)
                    names.push_back(lower(fields[i]));
                const DWORD graceMs = std::wcstoul(fields[1].c_str(), nullptr, 10);
                for (const Found& process : endLeftovers(sweepRoot(fields[2]), names, graceMs))
                    writeOut(out, std::to_string(process.id) + "\t" + toUtf8(process.image) + "\n");
            } else {
                writeOut(out, "error\tunknown request\n");
            }
            writeOut(out, "done\n");
        }
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && std::wstring(argv[1]) == L"--serve") return serve();
    if (argc < 4) return 2;
    const DWORD timeoutMs = argc > 4 ? std::wcstoul(argv[4], nullptr, 10) * 1000 : 120000;
    return drive(argv[1], argv[2], argv[3], timeoutMs, argc > 5 ? argv[5] : L"");
}
