#include "platform/dialogs.h"

#include <windows.h>
#include <commctrl.h>

#include "platform/handle.h"

namespace varnix {
namespace {

using TaskDialogIndirectFunction = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);

// comctl32.dll from System32 alone. Systems without LOAD_LIBRARY_SEARCH_SYSTEM32 (Windows 7
// before KB2533623) refuse the flag; there the full path is given instead.
HMODULE loadCommonControls() {
    const HMODULE library = LoadLibraryExW(L"comctl32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (library != nullptr || GetLastError() != ERROR_INVALID_PARAMETER) return library;
    wchar_t directory[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(directory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    const WideString path = WideString(directory, length) + L"\\comctl32.dll";
    return LoadLibraryW(path.c_str());
}

// Returns false when the running system offers no task dialog or it failed to show.
bool tryTaskDialog(const WideString& windowTitle, const WideString& mainInstruction,
                   const WideString& content, int commonButtons, const wchar_t* icon, int& button) {
    // Looked up at run time: older systems (and no version-6 activation) lack it.
    LibraryHandle library(loadCommonControls());
    if (!library) return false;
    const auto taskDialogIndirect = reinterpret_cast<TaskDialogIndirectFunction>(
        reinterpret_cast<void*>(GetProcAddress(library.get(), "TaskDialogIndirect")));
    if (taskDialogIndirect == nullptr) return false;

    TASKDIALOGCONFIG config{};
    config.cbSize = sizeof config;
    config.dwFlags = TDF_SIZE_TO_CONTENT;
    config.dwCommonButtons = commonButtons;
    config.pszWindowTitle = windowTitle.c_str();
    config.pszMainIcon = icon;
    config.pszMainInstruction = mainInstruction.c_str();
    config.pszContent = content.c_str();
    int pressed = 0;
    if (FAILED(taskDialogIndirect(&config, &pressed, nullptr, nullptr))) return false;
    button = pressed;
    return true;
}

UINT messageBoxStyle(int commonButtons, const wchar_t* icon) {
    if (commonButtons & TDCBF_YES_BUTTON) return MB_YESNO | MB_ICONQUESTION;
    if (icon == TD_ERROR_ICON) return MB_OK | MB_ICONERROR;
    if (icon == TD_WARNING_ICON) return MB_OK | MB_ICONWARNING;
    return MB_OK | MB_ICONINFORMATION;
}

}  // namespace

int showTaskDialog(const WideString& windowTitle, const WideString& mainInstruction,
                   const WideString& content, int commonButtons, const wchar_t* icon) {
    int button = 0;
    if (tryTaskDialog(windowTitle, mainInstruction, content, commonButtons, icon, button)) {
        return button;
    }
    const WideString text = mainInstruction + L"\n\n" + content;
    return MessageBoxW(nullptr, text.c_str(), windowTitle.c_str(),
                       messageBoxStyle(commonButtons, icon));
}

void showInfo(const WideString& mainInstruction, const WideString& content) {
    showTaskDialog(kDialogTitle, mainInstruction, content, TDCBF_OK_BUTTON, TD_INFORMATION_ICON);
}

void showError(const WideString& mainInstruction, const WideString& content) {
    showTaskDialog(kDialogTitle, mainInstruction, content, TDCBF_OK_BUTTON, TD_ERROR_ICON);
}

bool askYesNo(const WideString& mainInstruction, const WideString& content) {
    return showTaskDialog(kDialogTitle, mainInstruction, content,
                          TDCBF_YES_BUTTON | TDCBF_NO_BUTTON, TD_WARNING_ICON) == IDYES;
}

}  // namespace varnix
