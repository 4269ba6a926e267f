#include "packages/extraction.h"

#include <windows.h>

#include "packages/powershell_quoting.h"
#include "platform/fs.h"
#include "platform/handle.h"

namespace varnix {

bool runProcess(const WideString& commandLine, const WideString& currentDirectory,
                uint32_t& exitCode, WideString& errorText) {
    WideString writable = commandLine;  // CreateProcessW may write into its command line
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, currentDirectory.empty() ? nullptr : currentDirectory.c_str(),
                        &startup, &info)) {
        errorText = L"Не удалось запустить процесс: " + win32ErrorText(GetLastError());
        return false;
    }
    ProcessHandles process(info);
    WaitForSingleObject(process.process.get(), INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.process.get(), &code);
    exitCode = code;
    return true;
}

bool extractArchive(const WideString& archivePath, const WideString& destinationDir,
                    WideString& errorText) {
    ensureDirectory(destinationDir);
    uint32_t exitCode = 0;
    if (!runProcess(expandArchiveCommandLine(archivePath, destinationDir), destinationDir, exitCode,
                    errorText)) {
        return false;
    }
    if (exitCode != 0) {
        errorText = L"PowerShell Expand-Archive завершился с кодом: " + decimal(exitCode);
        return false;
    }
    return true;
}

}  // namespace varnix
