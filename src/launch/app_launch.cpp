#include "launch/app_launch.h"

#include <windows.h>
#include <bcrypt.h>

#include <vector>

#include "launch/command_line.h"
#include "launch/quoting.h"
#include "platform/fs.h"
#include "platform/handle.h"
#include "platform/log.h"
#include "platform/path.h"

namespace varnix {
namespace {

constexpr DWORD kEnvironmentBufferUnits = 32767;

// The launcher's own PATH and DLL directory, taken before they are changed for Varnix.exe and
// put back after its CreateProcessW: PowerShell, started later, must inherit neither.
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

bool launchApplication(const WideString& rootDir, const WideString& systemDir, uint32_t* win32Error,
                       uint32_t* exitCode) {
    const WideString applicationPath = joinPath(systemDir, kApplicationFileName);
    if (win32Error) *win32Error = 0;
    if (exitCode) *exitCode = kStillActive;
    if (!isExistingFile(applicationPath)) {
        if (win32Error) *win32Error = ERROR_FILE_NOT_FOUND;
        return false;
    }

    const WideString tokenPath = joinPath(systemDir, contract::kTokenFileName);
    const ByteString token = generateLaunchToken();
    if (token.empty()) {
        if (win32Error) *win32Error = ERROR_ACCESS_DENIED;
        logWrite(L"Launch guard token generation failed.");
        return false;
    }
    // A read-only or hidden token file refuses CREATE_ALWAYS, and every start would fail.
    SetFileAttributesW(tokenPath.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!writeWholeFile(tokenPath, token)) {
        if (win32Error) *win32Error = ERROR_ACCESS_DENIED;
        logWrite(L"Launch guard token file write failed.");
        return false;
    }

    PROCESS_INFORMATION info{};
    DWORD error = 0;
    bool created = false;
    {
        const SearchPathsForApplication searchPaths(systemDir);
        created =
            createApplicationProcess(applicationPath, rootDir, utf8ToWide(token), info, error);
    }
    if (!created) {
        if (win32Error) *win32Error = error;
        DeleteFileW(tokenPath.c_str());
        return false;
    }

    ProcessHandles process(info);
    if (WaitForSingleObject(process.process.get(), kLaunchWatchMilliseconds) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(process.process.get(), &code);
        if (exitCode) *exitCode = code;
    }
    return true;
}

}  // namespace varnix
