#include "packages/extraction.h"

#include <windows.h>

#include "packages/powershell_quoting.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "platform/site_config.h"

namespace varnix {
namespace {

constexpr DWORD kTerminationWaitMilliseconds = 10000;

// A job holds the process and everything it starts, so a deadline ends them all.
KernelHandle createProcessJob() {
    return KernelHandle(CreateJobObjectW(nullptr, nullptr));
}

}  // namespace

ProcessEnd runProcess(const WideString& applicationPath, const WideString& commandLine,
                      const WideString& currentDirectory, unsigned deadlineMilliseconds,
                      uint32_t& exitCode, WideString& errorText) {
    WideString writable = commandLine;  // CreateProcessW may write into its command line
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(applicationPath.c_str(), writable.data(), nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr,
                        currentDirectory.empty() ? nullptr : currentDirectory.c_str(), &startup,
                        &info)) {
        errorText = L"Не удалось запустить процесс: " + win32ErrorText(GetLastError());
        return ProcessEnd::NotStarted;
    }
    ProcessHandles process(info);
    // Where the launcher itself runs in a job that allows no nesting, the process alone is
    // ended at the deadline.
    KernelHandle job = createProcessJob();
    if (job && !AssignProcessToJobObject(job.get(), process.process.get())) job.reset();
    ResumeThread(process.thread.get());
    if (WaitForSingleObject(process.process.get(), deadlineMilliseconds) == WAIT_TIMEOUT) {
        if (!job || !TerminateJobObject(job.get(), 1)) {
            TerminateProcess(process.process.get(), 1);
        }
        WaitForSingleObject(process.process.get(), kTerminationWaitMilliseconds);
        return ProcessEnd::TimedOut;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.process.get(), &code);
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
    ensureDirectory(destinationDir);
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
