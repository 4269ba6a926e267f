#include "packages/extraction.h"

#include <windows.h>

#include "packages/powershell_quoting.h"
#include "platform/fs.h"
#include "platform/handle.h"
#include "platform/job.h"

namespace varnix {

bool runProcess(const WideString& commandLine, const WideString& currentDirectory,
                uint32_t& exitCode, WideString& errorText) {
    WideString writable = commandLine;  // CreateProcessW may write into its command line
    PROCESS_INFORMATION info{};
    // A launcher killed during the extraction takes the child with it, instead of leaving it
    // writing into the system directory while the next launcher runs.
    KillOnCloseJob job;
    if (!job.createProcess(writable, currentDirectory, CREATE_NO_WINDOW, info)) {
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
