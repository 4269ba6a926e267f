#include "launch/app_launch.h"

#include <windows.h>
#include <bcrypt.h>

#include <vector>

#include "launch/command_line.h"
#include "launch/launch_paths.h"
#include "launch/quoting.h"
#include "platform/fs.h"
#include "platform/handle.h"
#include "platform/log.h"
#include "platform/path.h"
#include "platform/text_conversion.h"

namespace varnix {
namespace {

constexpr DWORD kEnvironmentBufferUnits = 32767;

// The launcher's own PATH and DLL directory, taken before they are changed for Varnix.exe and
// put back after its CreateProcessW: PowerShell, started later, must inherit neither.
// Varnix.exe keeps the longer PATH, and a launcher it starts for a restart inherits it and puts
// the system directory in front once more: PATH grows by one entry with each such relaunch.
class SearchPathsForApplication {
  public:
    explicit SearchPathsForApplication(const WideString& systemDir) {
        std::vector<wchar_t> buffer(kEnvironmentBufferUnits, L'\0');
        const DWORD length =
            GetEnvironmentVariableW(L"PATH", buffer.data(), kEnvironmentBufferUnits);
        hadPath_ = length > 0 && length < kEnvironmentBufferUnits;
        if (hadPath_) path_.assign(buffer.data(), length);
        std::vector<wchar_t> dllBuffer(kEnvironmentBufferUnits, L'\0');
        const DWORD dllLength = GetDllDirectoryW(kEnvironmentBufferUnits, dllBuffer.data());
        if (dllLength > 0 && dllLength < kEnvironmentBufferUnits) {
            dllDirectory_.assign(dllBuffer.data(), dllLength);
        }
        SetDllDirectoryW(systemDir.c_str());
        const WideString value = systemDir + L";" + path_;
        SetEnvironmentVariableW(L"PATH", value.c_str());
    }
    ~SearchPathsForApplication() {
        SetEnvironmentVariableW(L"PATH", hadPath_ ? path_.c_str() : nullptr);
        SetDllDirectoryW(dllDirectory_.empty() ? nullptr : dllDirectory_.c_str());
    }
    SearchPathsForApplication(const SearchPathsForApplication&) = delete;
    SearchPathsForApplication& operator=(const SearchPathsForApplication&) = delete;

  private:
    bool hadPath_ = false;
    WideString path_;
    WideString dllDirectory_;
};

WideString applicationCommandLine(const WideString& applicationPath) {
    WideString commandLine = quoteArgument(applicationPath);
    const WideString arguments = forwardedArguments();
    if (!arguments.empty()) commandLine += L" " + arguments;
    return commandLine;
}

// The token variable exists only around CreateProcessW, whatever its result.
bool createApplicationProcess(const WideString& applicationPath, const WideString& rootDir,
                              const WideString& token, PROCESS_INFORMATION& info, DWORD& error) {
    WideString commandLine = applicationCommandLine(applicationPath);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    SetEnvironmentVariableW(contract::kTokenVariable, token.c_str());
    const BOOL created =
        CreateProcessW(applicationPath.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                       nullptr, rootDir.c_str(), &startup, &info);
    error = created ? 0 : GetLastError();
    SetEnvironmentVariableW(contract::kTokenVariable, nullptr);
    return created != 0;
}

}  // namespace

ByteString generateLaunchToken() {
    ByteString random(32, '\0');
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(random.data()),
                                        static_cast<ULONG>(random.size()),
                                        BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
        return {};
    }
    return toLowerHex(random);
}

LaunchResult launchApplication(const WideString& rootDir, const WideString& systemDir) {
    const WideString application = applicationPath(systemDir);
    LaunchResult result;
    if (!isExistingFile(application)) {
        result.win32Error = ERROR_FILE_NOT_FOUND;
        return result;
    }

    // A token that cannot be made or written is reported as ERROR_ACCESS_DENIED, whatever the
    // cause: to the recovery it is a start that failed before any process existed.
    const WideString tokenPath = launchTokenPath(systemDir);
    const ByteString token = generateLaunchToken();
    if (token.empty()) {
        result.win32Error = ERROR_ACCESS_DENIED;
        logWrite(L"Launch guard token generation failed.");
        return result;
    }
    // A read-only or hidden token file refuses CREATE_ALWAYS, and every start would fail.
    clearAttributes(tokenPath);
    if (!writeWholeFile(tokenPath, token)) {
        result.win32Error = ERROR_ACCESS_DENIED;
        logWrite(L"Launch guard token file write failed.");
        return result;
    }

    PROCESS_INFORMATION info{};
    DWORD error = 0;
    {
        const SearchPathsForApplication searchPaths(systemDir);
        result.created =
            createApplicationProcess(application, rootDir, utf8ToWide(token), info, error);
    }
    if (!result.created) {
        result.win32Error = error;
        deleteFile(tokenPath);
        return result;
    }

    const ProcessHandles started(info);
    if (WaitForSingleObject(started.process(), kLaunchWatchMilliseconds) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(started.process(), &code);
        result.exitCode = code;
    }
    return result;
}

}  // namespace varnix
