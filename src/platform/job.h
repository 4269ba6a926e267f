#pragma once
// Child processes that end with the launcher: a job object that kills what it holds when its
// last handle closes, which happens also when the launcher itself is killed.

#include <windows.h>

#include "platform/handle.h"
#include "platform/text.h"

namespace varnix {

class KillOnCloseJob {
  public:
    KillOnCloseJob();

    // CreateProcessW with `flags`, started suspended and outside any job the launcher runs in,
    // put into this job, then resumed. An empty applicationPath leaves the search to
    // CreateProcessW. A job that refuses the process is logged; the process runs on without it.
    // False (GetLastError set) only when the process cannot be created.
    bool createProcess(const WideString& applicationPath, WideString& commandLine,
                       const WideString& currentDirectory, DWORD flags, PROCESS_INFORMATION& info);

    // Ends everything in the job. False when the job holds nothing (it refused the process).
    bool terminate(UINT exitCode);

  private:
    KernelHandle job_;
    bool holdsProcess_ = false;
};

}  // namespace varnix
