#include "launch/main_sequence.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstdint>

#include "deps/handling.h"
#include "launch/app_launch.h"
#include "launch/command_line.h"
#include "launch/recovery.h"
#include "launch/restart_wait.h"
#include "launch/self_update.h"
#include "manifest/load_manifest.h"
#include "manifest/sha256.h"
#include "packages/required.h"
#include "packages/rollback.h"
#include "packages/store.h"
#include "platform/dialogs.h"
#include "platform/fs.h"
#include "platform/handle.h"
#include "platform/log.h"
#include "platform/named_mutex.h"
#include "platform/path.h"
#include "platform/site_config.h"

namespace varnix {
namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;

enum class UpdateOutcome { Launch, Stop };

bool isApplicationRunning() {
    FileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return false;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, kApplicationFileName) == 0) return true;
    }
    return false;
}

void startLog(const RunState& state) {
    logSetSiteHost(updateSiteHost());
    // A link in place of the log directory is removed, never written through; a link that
    // stays leaves this run without a log.
    const WideString logs = joinPath(state.rootDir, L"logs");
    if (ensureRealDirectory(logs)) logSetPath(joinPath(logs, L"launcher.log"));
    logRotate();
    logWrite(L"==============================");
    logWrite(L"Varnix Launcher started.");
    logWrite(L"Root directory: " + state.rootDir);
    logWrite(L"System directory: " + state.systemDir);
    const std::optional<FileVersion> version = ownFileVersion();
    logWrite(L"Launcher version: " + (version ? utf8ToWide(versionText(*version)) : L"unknown"));
}

bool startsWithSecurityMarker(const WideString& text) {
    return text.rfind(L"SECURITY:", 0) == 0;
}

UpdateOutcome runRequiredPackageStage(RunState& state, int& exitCode) {
    if (installRequiredPackages(state.rootDir, state.systemDir, state.manifest, state.transaction,
                                state.errorText)) {
        return UpdateOutcome::Launch;
    }
    logWrite(L"Required package stage failed: " + state.errorText);
    showError(L"Ошибка запуска Varnix", state.errorText);
    exitCode = kExitFailure;
    return UpdateOutcome::Stop;
}

// The online road installs what the manifest requires; an unreachable site falls back to the
// installed application; an authenticity failure blocks the launch.
UpdateOutcome runUpdateStage(RunState& state, int& exitCode) {
    logWrite(L"Downloading manifest: " + repositoryUrl() + L"/manifest.txt");
    if (loadManifest(packageStateDirectory(state.systemDir), state.manifest, &state.errorText,
                     &state.verified)) {
        logWrite(L"Manifest loaded. Package count: " + decimal(state.manifest.size()));
        return runRequiredPackageStage(state, exitCode);
    }
    logWrite(L"Manifest download failed: " + state.errorText);
    if (startsWithSecurityMarker(state.errorText)) {
        showError(L"Обновление заблокировано",
                  L"Не удалось проверить подлинность manifest.txt.\n\n" + state.errorText +
                      L"\n\nЗапуск остановлен, чтобы не использовать подменённое обновление.");
        exitCode = kExitFailure;
        return UpdateOutcome::Stop;
    }
    if (isExistingFile(joinPath(state.systemDir, kApplicationFileName))) {
        logWrite(L"Manifest unavailable, local Varnix.exe found. Offline launch mode.");
        return UpdateOutcome::Launch;
    }
    showError(L"Не удалось запустить Varnix",
              L"Не удалось загрузить manifest.txt и не найден локальный Varnix.exe.\n\n" +
                  state.errorText);
    exitCode = kExitFailure;
    return UpdateOutcome::Stop;
}

int firstLaunch(RunState& state) {
    uint32_t win32Error = 0;
    uint32_t exitCode = kStillActive;
    deleteStaleDependencyRequest(state.systemDir);
    logWrite(L"Launching Varnix.");
    const bool launched = launchApplication(state.rootDir, state.systemDir, &win32Error, &exitCode);
    if (launchSucceeded(launched, exitCode)) {
        logWrite(L"Varnix launched successfully.");
        state.applicationStarted = true;
        removeRollbackData(state.rootDir);
        return kExitSuccess;
    }
    if (launched) {
        logWrite(L"Varnix exited too early. Exit code: " + decimal(exitCode));
        return recoverFromEarlyExit(state, exitCode);
    }
    logWrite(L"CreateProcess failed: " + win32ErrorText(win32Error));
    return recoverFromStartFailure(state, win32Error);
}

}  // namespace

WideString launcherMutexName(const WideString& rootDir) {
    WideString upper = rootDir;
    CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    // A mutex name cannot hold a backslash, and a root path is full of them: its digest stands
    // for it.
    return L"Local\\VarnixLauncher-" + utf8ToWide(toLowerHex(sha256Bytes(wideToUtf8(upper))));
}

int runLauncher() {
    RunState state;
    state.rootDir = moduleDirectory();
    state.systemDir = joinPath(state.rootDir, contract::kSystemDirectoryName);
    startLog(state);
    // One launcher per root works in _download, _rollback and the markers; a second one (a
    // double click, a start during an update) waits and then follows its normal road.
    NamedMutexLock rootLock(launcherMutexName(state.rootDir));
    if (!rootLock.tryAcquire()) {
        logWrite(L"Another launcher is running for this root; waiting.");
        rootLock.acquire();
    }
    ensureDirectory(state.systemDir);
    discardFailedPromotion(state.rootDir, state.systemDir);

    waitForRestartingApplication();
    if (isApplicationRunning()) {
        logWrite(L"Varnix is already running. Update and launch skipped.");
        showInfo(L"Varnix уже запущен", L"Программа уже работает.\n");
        return kExitSuccess;
    }

    int exitCode = kExitFailure;
    if (runUpdateStage(state, exitCode) == UpdateOutcome::Stop) return exitCode;
    exitCode = firstLaunch(state);
    // Only a launcher that has just brought Varnix.exe up hands over to its successor: a run that
    // failed may be the new launcher's package's fault, and would be rolled back.
    if (state.applicationStarted) {
        offerLauncherUpdate(state.rootDir, state.systemDir, state.manifest, state.verified);
    }
    return exitCode;
}

}  // namespace varnix
