#include "launch/recovery.h"

#include <winerror.h>

#include <optional>

#include "deps/handling.h"
#include "launch/app_launch.h"
#include "launch/exit_codes.h"
#include "packages/install.h"
#include "platform/dialogs.h"
#include "platform/fs.h"
#include "platform/log.h"

namespace varnix {
namespace {

constexpr uint32_t kDependencyRequestExitCode = contract::kExitDependencyRequest;

// A remedy either decides the run (its exit code) or leaves it to the next one.
using Remedy = std::optional<int> (*)(RunState& state, const LaunchResult& firstStart);

bool isCompatibilityError(uint32_t code) {
    switch (code) {
        case ERROR_MOD_NOT_FOUND:
        case ERROR_PROC_NOT_FOUND:
        case ERROR_BAD_EXE_FORMAT:
        case ERROR_DLL_INIT_FAILED:
        case ERROR_DLL_NOT_FOUND:
            return true;
        default:
            return false;
    }
}

std::optional<int> serveDependencyRequest(RunState& state, const LaunchResult& firstStart) {
    if (!firstStart.created || firstStart.exitCode != kDependencyRequestExitCode) {
        return std::nullopt;
    }
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

// The offer after an early exit and after a failed creation differ only in these texts.
struct CompatibilityOfferTexts {
    WideString question;
    const wchar_t* declined;
    const wchar_t* accepted;
    const wchar_t* relaunching;  // null: the new start is not announced
    const wchar_t* stillFailing;
};

CompatibilityOfferTexts compatibilityOfferTexts(const LaunchResult& firstStart) {
    if (firstStart.created) {
        return {
            L"Varnix завершился сразу после запуска.\n\nВозможно, не хватает графических или "
            L"системных компонентов.\nСкачать и установить пакет совместимости?",
            L"User declined compatibility package install.",
            L"User accepted compatibility package install.",
            L"Launching Varnix after compatibility package.",
            L"Varnix still failed after compatibility package. Launch error: "};
    }
    return {L"Не удалось запустить Varnix.\n\nОшибка: " + win32ErrorText(firstStart.win32Error) +
                L"\n\nСкачать и установить пакет совместимости?",
            L"User declined compatibility package after CreateProcess error.",
            L"User accepted compatibility package after CreateProcess error.", nullptr,
            L"Varnix failed after compatibility package. Launch error: "};
}

// A failed installation ends the run with the error dialog (exit code 1).
std::optional<int> offerCompatibilityPackage(RunState& state, const LaunchResult& firstStart) {
    if (!firstStart.created && !isCompatibilityError(firstStart.win32Error)) return std::nullopt;
    const PackageEntry* package = findCompatibilityPackage(state.manifest);
    if (package == nullptr) return std::nullopt;
    const PackageEntry compatibility = *package;
    const CompatibilityOfferTexts texts = compatibilityOfferTexts(firstStart);
    if (!askYesNo(L"Нужен пакет совместимости", texts.question)) {
        logWrite(texts.declined);
        return std::nullopt;
    }
    logWrite(texts.accepted);
    if (!installPackage(state.rootDir, state.systemDir, compatibility, state.errorText, showInfo)) {
        logWrite(L"Compatibility package install failed: " + state.errorText);
        rollBackTransaction(state.rootDir, state.systemDir, state.transaction);
        showError(L"Ошибка запуска Varnix", state.errorText);
        return kExitFailure;
    }
    recordInstalled(state.transaction, compatibility);
    if (texts.relaunching != nullptr) logWrite(texts.relaunching);
    const LaunchResult result = launchApplication(state.rootDir, state.systemDir);
    if (result.succeeded()) {
        return startedSuccessfully(state,
                                   L"Varnix launched successfully after compatibility package.");
    }
    logWrite(texts.stillFailing + launchFailureText(result));
    return std::nullopt;
}

// Nothing happens without a transaction.
std::optional<int> rollBackAndRetry(RunState& state, const LaunchResult&) {
    if (state.transaction.empty()) return std::nullopt;
    rollBackTransaction(state.rootDir, state.systemDir, state.transaction);
    state.transaction.clear();
    logWrite(L"Trying to launch Varnix after rollback.");
    const LaunchResult result = launchApplication(state.rootDir, state.systemDir);
    if (result.succeeded()) {
        logWrite(L"Varnix launched successfully after rollback.");
        state.applicationStarted = true;
        return kExitSuccess;
    }
    logWrite(L"Varnix failed after rollback. Launch error: " + launchFailureText(result));
    return std::nullopt;
}

constexpr Remedy kRemedies[] = {serveDependencyRequest, offerCompatibilityPackage,
                                rollBackAndRetry};

}  // namespace

int startedSuccessfully(RunState& state, const wchar_t* logLine) {
    logWrite(logLine);
    state.applicationStarted = true;
    removeRollbackData(state.rootDir, state.systemDir);
    return kExitSuccess;
}

const PackageEntry* findCompatibilityPackage(const Manifest& manifest) {
    for (const char* name : {"graphics_compat", "compatibility"}) {
        for (const PackageEntry& entry : manifest) {
            if (entry.name == name) return &entry;
        }
    }
    return nullptr;
}

int recoverFromFailedStart(RunState& state, const LaunchResult& firstStart) {
    for (const Remedy remedy : kRemedies) {
        if (const std::optional<int> exitCode = remedy(state, firstStart)) return *exitCode;
    }
    if (firstStart.created) {
        showError(L"Не удалось запустить Varnix",
                  L"Программа завершилась сразу после запуска.\n\nКод выхода: " +
                      decimal(firstStart.exitCode));
    } else {
        showError(L"Не удалось запустить Varnix",
                  L"Ошибка: " + win32ErrorText(firstStart.win32Error));
    }
    return kExitFailure;
}

}  // namespace varnix
