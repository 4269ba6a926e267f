#include "launch/main_sequence.h"

#include <cstdint>

#include "deps/handling.h"
#include "launch/app_launch.h"
#include "launch/command_line.h"
#include "launch/exit_codes.h"
#include "launch/launch_paths.h"
#include "launch/recovery.h"
#include "launch/restart_wait.h"
#include "launch/self_update.h"
#include "manifest/load_manifest.h"
#include "manifest/sha256.h"
#include "packages/backup.h"
#include "packages/required.h"
#include "packages/rollback.h"
#include "packages/store.h"
#include "platform/dialogs.h"
#include "platform/error_text.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "platform/named_mutex.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/site_config.h"
#include "platform/text_conversion.h"

namespace varnix {
namespace {

enum class UpdateOutcome { Launch, Stop };

void startLog(const RunState& state) {
    logSetSiteHost(updateSiteHost());
    // A link in place of the log directory is removed, never written through; a link that
    // stays leaves this run without a log.
    const WideString logs = logDirectory(state.rootDir);
    if (ensureRealDirectory(logs)) logSetPath(logFilePath(logs));
    logRotate();
    logWrite(L"==============================");
    logWrite(L"Varnix Launcher started.");
    logWrite(L"Root directory: " + state.rootDir);
    logWrite(L"System directory: " + state.systemDir);
    const std::optional<FileVersion> version = ownFileVersion();
    logWrite(L"Launcher version: " + (version ? utf8ToWide(versionText(*version)) : L"unknown"));
}

UpdateOutcome runRequiredPackageStage(RunState& state) {
    if (installRequiredPackages(state.rootDir, state.systemDir, state.manifest, state.transaction,
                                state.errorText, showInfo)) {
        return UpdateOutcome::Launch;
    }
    logWrite(L"Required package stage failed: " + state.errorText);
    showError(L"Ошибка запуска Varnix", state.errorText);
    return UpdateOutcome::Stop;
}

// The online road installs what the manifest requires; an unreachable site falls back to the
// installed application; an authenticity failure blocks the launch.
UpdateOutcome runUpdateStage(RunState& state) {
    logWrite(L"Downloading manifest: " + repositoryUrl() + L"/manifest.txt");
    if (loadManifest(packageStateDirectory(state.systemDir), state.manifest, state.errorText,
                     &state.verified)) {
        logWrite(L"Manifest loaded. Package count: " + decimal(state.manifest.size()));
        return runRequiredPackageStage(state);
    }
    logWrite(L"Manifest download failed: " + state.errorText);
    if (isSecurityFailure(state.errorText)) {
        showError(L"Обновление заблокировано",
                  L"Не удалось проверить подлинность manifest.txt.\n\n" + state.errorText +
                      L"\n\nЗапуск остановлен, чтобы не использовать подменённое обновление.");
        return UpdateOutcome::Stop;
    }
    if (isExistingFile(applicationPath(state.systemDir))) {
        logWrite(L"Manifest unavailable, local Varnix.exe found. Offline launch mode.");
        return UpdateOutcome::Launch;
    }
    showError(L"Не удалось запустить Varnix",
              L"Не удалось загрузить manifest.txt и не найден локальный Varnix.exe.\n\n" +
                  state.errorText);
    return UpdateOutcome::Stop;
}

int firstLaunch(RunState& state) {
    deleteStaleDependencyRequest(state.systemDir);
    logWrite(L"Launching Varnix.");
    const LaunchResult result = launchApplication(state.rootDir, state.systemDir);
    if (result.succeeded()) {
        return startedSuccessfully(state, L"Varnix launched successfully.");
    }
    if (result.created) {
        logWrite(L"Varnix exited too early. Exit code: " + decimal(result.exitCode));
    } else {
        logWrite(L"CreateProcess failed: " + win32ErrorText(result.win32Error));
    }
    return recoverFromFailedStart(state, result);
}

// Past the time limit the other launcher is most likely installing a large update; this start
// did not start Varnix and cannot know that the other one will, hence the failure code.
bool waitForRootLock(NamedMutexLocks& rootLock) {
    logWrite(L"Another launcher is running for this root; waiting.");
    if (rootLock.acquireWithin(timeLimits().rootLockMilliseconds)) return true;
    logWrite(L"Another launcher is still running for this root after 20 s; not waiting longer.");
    showInfo(
        L"Обновление уже выполняется",
        L"Varnix Launcher в другом окне устанавливает обновление. Varnix запустится, когда оно "
        L"закончится.");
    return false;
}

}  // namespace

WideString spellingMutexName(const WideString& rootDir) {
    const WideString upper = toUpperCase(rootDir);
    // A mutex name cannot hold a backslash, and a root path is full of them: its digest stands
    // for it.
    return L"Local\\VarnixLauncher-" + utf8ToWide(toLowerHex(sha256Bytes(wideToUtf8(upper))));
}

// Session-local on purpose: two users' sessions that reach one root do not see each other.
std::vector<WideString> launcherMutexNames(const WideString& rootDir) {
    const ByteString identity = fileIdentity(rootDir);
    if (identity.empty()) return {spellingMutexName(rootDir)};
    // Launchers of the previous release hold only the spelling's name: both are held until none
    // of them is left.
    return {L"Local\\VarnixLauncher-" + utf8ToWide(toLowerHex(identity)),
            spellingMutexName(rootDir)};
}

int runLauncher() {
    RunState state;
    state.rootDir = moduleDirectory();
    state.systemDir = systemDirectory(state.rootDir);
    startLog(state);
    // One launcher per root works in _download, _rollback and the markers; a second one (a
    // double click, a start during an update) waits and then follows its normal road.
    NamedMutexLocks rootLock(launcherMutexNames(state.rootDir));
    if (!rootLock.tryAcquire() && !waitForRootLock(rootLock)) return kExitFailure;
    ensureDirectory(state.systemDir);
    discardFailedPromotion(state.rootDir, state.systemDir);

    waitForRestartingApplication();
    if (isProcessRunning(kApplicationFileName)) {
        logWrite(L"Varnix is already running. Update and launch skipped.");
        showInfo(L"Varnix уже запущен", L"Программа уже работает.\n");
        return kExitSuccess;
    }

    // Before anything is installed or launched: a restore that an earlier run left pending puts
    // the last whole state back, or leaves the package counting as not installed.
    finishPendingRestores(state.rootDir, state.systemDir);

    // Every stop of the update stage has already told the user why.
    if (runUpdateStage(state) == UpdateOutcome::Stop) return kExitFailure;
    const int exitCode = firstLaunch(state);
    // Only a launcher that has just brought Varnix.exe up hands over to its successor: a run that
    // failed may be the new launcher's package's fault, and would be rolled back.
    if (state.applicationStarted) {
        offerLauncherUpdate(state.rootDir, state.systemDir, state.manifest, state.verified);
    }
    return exitCode;
}

}  // namespace varnix
