#include "packages/extraction.h"

#include <windows.h>

#include "packages/powershell_quoting.h"
#include "platform/fs.h"
#include "platform/handle.h"
#include "platform/job.h"
#include "platform/path.h"
#include "platform/site_config.h"

namespace varnix {
namespace {

constexpr DWORD kTerminationWaitMilliseconds = 10000;

WideString startFailureText(DWORD error) {
    return L"Не удалось запустить процесс: " + win32ErrorText(error);
}

// PowerShell must find the destination already there: Expand-Archive hands a destination its
// pattern readers did not find to New-Item, which reads no patterns, so the escaped text would
// not name it. ERROR_SUCCESS when the directory exists, else why it could not be made (a file in
// its place is "already there" for CreateDirectoryW).
DWORD makeDestination(const WideString& destinationDir) {
    if (!ensureDirectory(destinationDir)) {
        const DWORD error = GetLastError();
        return error != ERROR_SUCCESS ? error : ERROR_PATH_NOT_FOUND;
    }
    return isExistingDirectory(destinationDir) ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS;
}

}  // namespace

ProcessEnd runProcess(const WideString& applicationPath, const WideString& commandLine,
                      const WideString& currentDirectory, unsigned deadlineMilliseconds,
                      uint32_t& exitCode, WideString& errorText) {
    WideString writable = commandLine;  // CreateProcessW may write into its command line
    PROCESS_INFORMATION info{};
    // A launcher killed during the extraction takes the child with it, instead of leaving it
    // writing into the system directory while the next launcher runs.
    KillOnCloseJob job;
    if (!job.createProcess(applicationPath, writable, currentDirectory, CREATE_NO_WINDOW, info)) {
        errorText = startFailureText(GetLastError());
        return ProcessEnd::NotStarted;
    }
    const ProcessHandles powershell(info);
    if (WaitForSingleObject(powershell.process(), deadlineMilliseconds) == WAIT_TIMEOUT) {
        // The job ends PowerShell and whatever it started; where the process could not join
        // it (a job that allows no nesting), the process alone is ended.
        if (!job.terminate(1)) TerminateProcess(powershell.process(), 1);
        WaitForSingleObject(powershell.process(), kTerminationWaitMilliseconds);
        return ProcessEnd::TimedOut;
    }
    DWORD code = 0;
    GetExitCodeProcess(powershell.process(), &code);
    exitCode = code;
    return ProcessEnd::Exited;
}

WideString powerShellPath() {
    wchar_t buffer[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(buffer, MAX_PATH);
    const WideString systemDirectory(buffer, length < MAX_PATH ? length : 0);
    return joinPath(systemDirectory, L"WindowsPowerShell\\v1.0\\powershell.exe");
}

bool extractArchive(const WideString& archivePath, const WideString& destinationDir,
                    WideString& errorText) {
    const DWORD destinationError = makeDestination(destinationDir);
    if (destinationError != ERROR_SUCCESS) {
        errorText = startFailureText(destinationError);
        return false;
    }
    const unsigned deadline = timeLimits().powerShellMilliseconds;
    uint32_t exitCode = 0;
    switch (runProcess(powerShellPath(), expandArchiveCommandLine(archivePath, destinationDir),
                       destinationDir, deadline, exitCode, errorText)) {
        case ProcessEnd::NotStarted:
            return false;
        case ProcessEnd::TimedOut:
            errorText = L"PowerShell Expand-Archive не завершился за " +
                        decimal((deadline + 59999ull) / 60000) + L" мин.";
            return false;
        case ProcessEnd::Exited:
            break;
    }
    if (exitCode != 0) {
        errorText = L"PowerShell Expand-Archive завершился с кодом: " + decimal(exitCode);
        return false;
    }
    return true;
}

FileHandle holdArchive(const WideString& archivePath) {
    return FileHandle(CreateFileW(archivePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace varnix
