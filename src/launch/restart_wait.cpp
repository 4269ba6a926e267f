#include "launch/restart_wait.h"

#include <windows.h>

#include <vector>

#include "platform/handle.h"
#include "platform/log.h"

namespace varnix {
namespace {

constexpr DWORD kVariableBufferUnits = 64;

std::optional<WideString> restartVariable() {
    std::vector<wchar_t> buffer(kVariableBufferUnits, L'\0');
    SetLastError(ERROR_SUCCESS);
    const DWORD length =
        GetEnvironmentVariableW(contract::kRestartVariable, buffer.data(), kVariableBufferUnits);
    if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
    // Too long for the buffer: certainly no process id, but still a request to report.
    if (length >= kVariableBufferUnits) return WideString(L"?");
    return WideString(buffer.data());
}

RestartWait waitFor(uint32_t processId, uint32_t timeoutMs) {
    const WideString subject = L"Restart after process " + decimal(processId) + L": ";
    KernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    if (!process) {
        logWrite(subject + L"already ended.");
        return RestartWait::AlreadyEnded;
    }
    const ULONGLONG started = GetTickCount64();
    if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
        logWrite(subject + L"still running after " + decimal(timeoutMs) + L" ms; going on.");
        return RestartWait::StillRunning;
    }
    logWrite(subject + L"ended after " + decimal(GetTickCount64() - started) + L" ms.");
    return RestartWait::Ended;
}

}  // namespace

std::optional<uint32_t> parseProcessId(const WideString& text) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    unsigned long long value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - L'0');
    }
    if (value == 0 || value > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<uint32_t>(value);
}

RestartWait waitForRestartingApplication(uint32_t timeoutMs) {
    const std::optional<WideString> value = restartVariable();
    if (!value) return RestartWait::NotRequested;
    SetEnvironmentVariableW(contract::kRestartVariable, nullptr);
    const std::optional<uint32_t> processId = parseProcessId(*value);
    if (!processId) {
        logWrite(
            L"Restart requested, but VARNIX_RESTART_AFTER_PID is not a process id; not waiting.");
        return RestartWait::NotAProcessId;
    }
    return waitFor(*processId, timeoutMs);
}

}  // namespace varnix
