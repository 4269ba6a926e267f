#include "platform/job.h"

#include "platform/fs.h"
#include "platform/log.h"

namespace varnix {

KillOnCloseJob::KillOnCloseJob() : job_(CreateJobObjectW(nullptr, nullptr)) {
    if (!job_) return;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job_.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
}

bool KillOnCloseJob::createProcess(const WideString& applicationPath, WideString& commandLine,
                                   const WideString& currentDirectory, DWORD flags,
                                   PROCESS_INFORMATION& info) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    const wchar_t* directory = currentDirectory.empty() ? nullptr : currentDirectory.c_str();
    // Windows 7 has no nested jobs, and a launcher started inside a job is common there: the
    // child leaves that job so that it can enter ours. A job that forbids leaving refuses the
    // breakaway flag; the child is then created inside it as before.
    const DWORD suspended = flags | CREATE_SUSPENDED;
    const wchar_t* application = applicationPath.empty() ? nullptr : applicationPath.c_str();
    if (!CreateProcessW(application, commandLine.data(), nullptr, nullptr, FALSE,
                        suspended | CREATE_BREAKAWAY_FROM_JOB, nullptr, directory, &startup,
                        &info)) {
        if (GetLastError() != ERROR_ACCESS_DENIED ||
            !CreateProcessW(application, commandLine.data(), nullptr, nullptr, FALSE, suspended,
                            nullptr, directory, &startup, &info)) {
            return false;
        }
    }
    holdsProcess_ = job_ && AssignProcessToJobObject(job_.get(), info.hProcess);
    if (!holdsProcess_) {
        logWrite(L"Process could not join the kill-on-close job: " +
                 win32ErrorText(job_ ? GetLastError() : ERROR_INVALID_HANDLE));
    }
    ResumeThread(info.hThread);
    return true;
}

bool KillOnCloseJob::terminate(UINT exitCode) {
    return holdsProcess_ && TerminateJobObject(job_.get(), exitCode);
}

}  // namespace varnix
