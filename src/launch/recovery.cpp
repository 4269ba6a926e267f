#include "launch/recovery.h"

#include "deps/handling.h"
#include "launch/app_launch.h"
#include "packages/install.h"
#include "platform/dialogs.h"
#include "platform/fs.h"
#include "platform/log.h"

namespace varnix {
namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr uint32_t kDependencyRequestExitCode = contract::kExitDependencyRequest;

struct Relaunch {
    bool succeeded = false;
    WideString detail;  // error text, " early exit: ", exit code
};

Relaunch relaunch(const RunState& state) {
    uint32_t win32Error = 0;
    uint32_t exitCode = kStillActive;
    const bool launched = launchApplication(state.rootDir, state.systemDir, &win32Error, &exitCode);
    return {launchSucceeded(launched, exitCode),
            win32ErrorText(win32Error) + L" early exit: " + decimal(exitCode)};
}

bool isCompatibilityError(uint32_t code) {
    switch (code) {
        case 126:   // ERROR_MOD_NOT_FOUND
        case 127:   // ERROR_PROC_NOT_FOUND
        case 193:   // ERROR_BAD_EXE_FORMAT
        case 1114:  // ERROR_DLL_INIT_FAILED
        case 1157:  // ERROR_DLL_NOT_FOUND
            return true;
        default:
            return false;
    }
}

// False when the installation failed: the run then ends with the error dialog (exit code 1).
bool installCompatibilityPackage(RunState& state, const PackageEntry& package) {
    if (installPackage(state.rootDir, state.systemDir, package, state.errorText)) {
        recordInstalled(state.transaction, package);
        return true;
    }
    logWrite(L"Compatibility package install failed: " + state.errorText);
    rollBackTransaction(state.rootDir, state.systemDir, state.transaction);
    showError(L"Ошибка запуска Varnix", state.errorText);
    return false;
}

// True when the start after the rollback succeeded. Nothing happens without a transaction.
bool rollBackAndRetry(RunState& state) {
    if (state.transaction.empty()) return false;
    rollBackTransaction(state.rootDir, state.systemDir, state.transaction);
    state.transaction.clear();
    logWrite(L"Trying to launch Varnix after rollback.");
    const Relaunch result = relaunch(state);
    if (result.succeeded) {
        logWrite(L"Varnix launched successfully after rollback.");
        state.applicationStarted = true;
        return true;
    }
    logWrite(L"Varnix failed after rollback. Launch error: " + result.detail);
    return false;
}

int serveDependencyRequest(RunState& state) {
    logWrite(L"Varnix requested dependency package.");
    if (handleDependencyRequest(state.rootDir, state.systemDir, state.manifest, state.transaction,
                                state.errorText, launchApplication)) {
        state.applicationStarted = true;
        return kExitSuccess;
    }
    logWrite(L"Dependency request handling failed: " + state.errorText);
    if (!state.errorText.empty()) {
        showError(L"Ошибка установки дополнительного пакета", state.errorText);
    }
    return kExitFailure;
}

constexpr wchar_t kCompatibilityQuestion[] = L"Нужен пакет совместимости";

}  // namespace

const PackageEntry* findCompatibilityPackage(const Manifest& manifest) {
    for (const char* name : {"graphics_compat", "compatibility"}) {
        for (const PackageEntry& entry : manifest) {
            if (entry.name == name) return &entry;
        }
    }
    return nullptr;
}

int recoverFromEarlyExit(RunState& state, uint32_t firstExitCode) {
    if (firstExitCode == kDependencyRequestExitCode) return serveDependencyRequest(state);

    if (const PackageEntry* package = findCompatibilityPackage(state.manifest)) {
        const PackageEntry compatibility = *package;
        if (!askYesNo(kCompatibilityQuestion,
                      L"Varnix завершился сразу после запуска.\n\nВозможно, не хватает "
                      L"графических или системных компонентов.\nСкачать и установить пакет "
                      L"совместимости?")) {
            logWrite(L"User declined compatibility package install.");
        } else {
            logWrite(L"User accepted compatibility package install.");
            if (!installCompatibilityPackage(state, compatibility)) return kExitFailure;
            logWrite(L"Launching Varnix after compatibility package.");
            const Relaunch result = relaunch(state);
            if (result.succeeded) {
                logWrite(L"Varnix launched successfully after compatibility package.");
                state.applicationStarted = true;
                removeRollbackData(state.rootDir);
                return kExitSuccess;
            }
            logWrite(L"Varnix still failed after compatibility package. Launch error: " +
                     result.detail);
        }
    }
    if (rollBackAndRetry(state)) return kExitSuccess;
    showError(
        L"Не удалось запустить Varnix",
        L"Программа завершилась сразу после запуска.\n\nКод выхода: " + decimal(firstExitCode));
    return kExitFailure;
}

int recoverFromStartFailure(RunState& state, uint32_t firstError) {
    const PackageEntry* package =
        isCompatibilityError(firstError) ? findCompatibilityPackage(state.manifest) : nullptr;
    if (package != nullptr) {
        const PackageEntry compatibility = *package;
        if (!askYesNo(kCompatibilityQuestion,
                      L"Не удалось запустить Varnix.\n\nОшибка: " + win32ErrorText(firstError) +
                          L"\n\nСкачать и установить пакет совместимости?")) {
            logWrite(L"User declined compatibility package after CreateProcess error.");
        } else {
            logWrite(L"User accepted compatibility package after CreateProcess error.");
            if (!installCompatibilityPackage(state, compatibility)) return kExitFailure;
            const Relaunch result = relaunch(state);
            if (result.succeeded) {
                logWrite(L"Varnix launched successfully after compatibility package.");
                state.applicationStarted = true;
                removeRollbackData(state.rootDir);
                return kExitSuccess;
            }
            logWrite(L"Varnix failed after compatibility package. Launch error: " + result.detail);
        }
    }
    if (rollBackAndRetry(state)) return kExitSuccess;
    showError(L"Не удалось запустить Varnix", L"Ошибка: " + win32ErrorText(firstError));
    return kExitFailure;
}

}  // namespace varnix
