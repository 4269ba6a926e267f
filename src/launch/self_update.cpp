#include "launch/self_update.h"

#include <windows.h>

#include <cwchar>
#include <string_view>

#include "launch/command_line.h"
#include "launch/exit_codes.h"
#include "launch/launch_paths.h"
#include "launch/quoting.h"
#include "manifest/load_manifest.h"
#include "packages/store.h"
#include "platform/fs.h"
#include "platform/handle.h"
#include "platform/log.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/site_config.h"
#include "platform/text_conversion.h"
#include "varnix/contract.h"

namespace varnix {
namespace {

// The old launcher ends right after it started the new one; this only bounds a launcher that
// hangs, or a process id that another process took over.
constexpr DWORD kOldLauncherWaitMilliseconds = 30 * 1000;

// The launcher package installs its candidate into the directory of its own name
// (varnix/value_rules.h, where archive entries of other packages are kept out of it).
const WideString kCandidateDirectoryName = asciiText(kLauncherPackageName);
constexpr wchar_t kRefusedFileName[] = L"launcher.refused";
// What a new launcher that did not take the name says about itself, for the next start.
constexpr wchar_t kVerdictFileName[] = L"launcher.verdict";
// Failed attempts of one version, counted until it is refused: launcher-a.b.c.d.attempts.
constexpr wchar_t kAttemptsPrefix[] = L"launcher-";
constexpr wchar_t kAttemptsSuffix[] = L".attempts";
// The manifest and signature the old launcher verified in its run, for the new one to verify.
constexpr wchar_t kProofFileName[] = L"launcher.manifest";
constexpr wchar_t kProofSignatureSuffix[] = L".sig";
constexpr DWORD kRenameRetryMilliseconds = 250;

WideString launcherPath(const WideString& rootDir) {
    return joinPath(rootDir, contract::kLauncherFileName);
}

WideString newLauncherPath(const WideString& rootDir) {
    return launcherPath(rootDir) + kPromotionSuffix;
}

WideString newLauncherName() {
    return WideString(contract::kLauncherFileName) + kPromotionSuffix;
}

WideString candidatePath(const WideString& systemDir) {
    return joinPath(joinPath(systemDir, kCandidateDirectoryName), contract::kLauncherFileName);
}

WideString refusedPath(const WideString& systemDir) {
    return joinPath(packageStateDirectory(systemDir), kRefusedFileName);
}

WideString verdictPath(const WideString& systemDir) {
    return joinPath(packageStateDirectory(systemDir), kVerdictFileName);
}

WideString attemptsPath(const WideString& systemDir, FileVersion version) {
    return joinPath(packageStateDirectory(systemDir),
                    kAttemptsPrefix + utf8ToWide(versionText(version)) + kAttemptsSuffix);
}

const PackageEntry* launcherPackage(const Manifest& manifest) {
    for (const PackageEntry& entry : manifest) {
        if (entry.name == kLauncherPackageName) return &entry;
    }
    return nullptr;
}

WideString proofPath(const WideString& systemDir) {
    return joinPath(packageStateDirectory(systemDir), kProofFileName);
}

WideString wideVersion(FileVersion version) {
    return utf8ToWide(versionText(version));
}

std::optional<FileVersion> versionOfModule(HMODULE module) {
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
    if (found == nullptr) return std::nullopt;
    HGLOBAL loaded = LoadResource(module, found);
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (bytes == nullptr) return std::nullopt;
    return fixedFileVersion(
        std::string_view(static_cast<const char*>(bytes), SizeofResource(module, found)));
}

void refuseVersion(const WideString& systemDir, FileVersion version) {
    ensureDirectory(packageStateDirectory(systemDir));
    if (!replaceFileDurably(refusedPath(systemDir), versionText(version) + "\n")) {
        logWrite(L"Launcher update refusal not recorded: " + win32ErrorText(GetLastError()));
    }
}

bool isRefused(const WideString& systemDir, FileVersion version) {
    return parseVersionText(readWholeFile(refusedPath(systemDir))) == version;
}

WideString failureName(AttemptFailure failure) {
    return utf8ToWide(ByteString(attemptFailureName(failure)));
}

// One more attempt of `version` did not complete. A fault of the new launcher itself, or the last
// allowed attempt, refuses the version; anything else (a held file, a kill) is tried again.
void countFailedAttempt(const WideString& systemDir, FileVersion version, AttemptFailure failure) {
    const WideString attempts = attemptsPath(systemDir, version);
    const AttemptDecision decision =
        weighFailedAttempt(failure, parseAttemptCount(readWholeFile(attempts)));
    if (decision.refuse) {
        logWrite(L"Launcher update removed: " + newLauncherName() + L" did not become " +
                 contract::kLauncherFileName + L". Version refused: " + wideVersion(version));
        refuseVersion(systemDir, version);
        forceDeleteFile(attempts);  // the refusal stands for them from now on
        return;
    }
    ensureDirectory(packageStateDirectory(systemDir));
    if (!replaceFileDurably(attempts, attemptCountText(decision.attempt))) {
        logWrite(L"Launcher update attempt not recorded: " + win32ErrorText(GetLastError()));
    }
    logWrite(L"Launcher update will be tried again: attempt " + decimal(decision.attempt) +
             L" of " + decimal(kPromotionAttempts) + L" did not complete (" + failureName(failure) +
             L").");
}

// The verdict left by the promotion of `version`, read once: NoVerdict when there is none, or
// when it speaks of another version.
AttemptFailure takeVerdict(const WideString& systemDir, FileVersion version) {
    const WideString path = verdictPath(systemDir);
    const std::optional<PromotionVerdict> verdict = parseVerdict(readWholeFile(path));
    forceDeleteFile(path);
    if (!verdict || verdict->version != version) return AttemptFailure::NoVerdict;
    return verdict->failure;
}

// The new launcher waits on an inherited handle to this process, not on its id alone: an id
// can be taken by a later process once this one has ended. The promote variable exists only
// around the start, whatever its result.
bool startPromotion(const WideString& rootDir, DWORD& error) {
    const KernelHandle self(openInheritableSelf());
    if (!self) {
        error = GetLastError();
        return false;
    }
    const WideString path = newLauncherPath(rootDir);
    const PromotionRequest request{GetCurrentProcessId(), reinterpret_cast<uintptr_t>(self.get())};
    SetEnvironmentVariableW(kPromoteVariable, promotionRequestText(request).c_str());
    const bool started = startProcessInheritingOnly(path, quoteArgument(path), rootDir, self.get());
    error = started ? 0 : GetLastError();
    SetEnvironmentVariableW(kPromoteVariable, nullptr);
    return started;
}

// Renaming over root\VarnixLauncher.exe is only right for the launcher that runs from there. A
// copy saved under another name ("VarnixLauncher (1).exe") would replace the file of another
// launcher, never its own, and do it again at every start.
bool runsAsTheLauncher(const WideString& rootDir) {
    return _wcsicmp(longPathName(moduleFilePath()).c_str(),
                    longPathName(launcherPath(rootDir)).c_str()) == 0;
}

WideString runningFileName() {
    const WideString path = longPathName(moduleFilePath());
    return path.substr(path.find_last_of(L"\\/") + 1);  // npos + 1: the whole path
}

bool startedAsNewLauncher() {
    return _wcsicmp(moduleFilePath().c_str(), newLauncherPath(moduleDirectory()).c_str()) == 0;
}

// Keys that import may still be the wrong ones (a build with a test key, or without the key the
// site signs with): such a launcher would refuse every manifest from then on, and no update
// could ever reach it again. It must verify what the old launcher verified in its run.
bool verifiesTheSitesManifest(const WideString& systemDir) {
    const WideString proof = proofPath(systemDir);
    const ByteString bytes = readWholeFile(proof);
    const ByteString signature = readWholeFile(proof + kProofSignatureSuffix);
    WideString ignored;  // the caller words its own refusal
    return !bytes.empty() && verifyManifestSignature(bytes, signature, ignored);
}

struct PromotionFailure {
    AttemptFailure failure;
    WideString text;  // for the log
};

// Why this executable must not become VarnixLauncher.exe; nothing when it may.
std::optional<PromotionFailure> promotionObstacle(const WideString& rootDir) {
    if (!ownFileVersion()) {
        return PromotionFailure{AttemptFailure::VersionUnreadable,
                                L"its own version cannot be read."};
    }
    if (!manifestKeysLoad()) {
        return PromotionFailure{AttemptFailure::KeysDoNotLoad, L"its manifest key does not load."};
    }
    if (!verifiesTheSitesManifest(systemDirectory(rootDir))) {
        return PromotionFailure{AttemptFailure::KeysDoNotVerify,
                                L"its manifest keys do not verify the site's manifest."};
    }
    return std::nullopt;
}

// The next start cannot tell a key that does not verify from a file held for the whole wait
// unless it is told: the verdict says which, and is on the disk before this process ends.
// The verdict goes first: whoever finds the failure in the log finds it recorded too.
int failPromotion(const WideString& rootDir, const PromotionFailure& failure) {
    const WideString systemDir = systemDirectory(rootDir);
    ensureDirectory(packageStateDirectory(systemDir));
    const bool recorded = replaceFileDurably(verdictPath(systemDir),
                                             verdictText({ownFileVersion(), failure.failure}));
    const DWORD error = GetLastError();
    logWrite(L"Launcher promotion failed: " + failure.text);
    if (!recorded) logWrite(L"Launcher promotion verdict not recorded: " + win32ErrorText(error));
    return kExitFailure;
}

// Another launcher still running from the old image (a second start showing its dialog, say) or
// a scanner reading it keeps the name from being replaced for a while: the rename is tried
// again until the deadline.
bool replaceLauncher(const WideString& selfPath, const WideString& target,
                     unsigned long long deadlineTick) {
    for (;;) {
        clearAttributes(target);  // a read-only target refuses
        if (MoveFileExW(selfPath.c_str(), target.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return true;
        }
        const DWORD error = GetLastError();
        const bool held = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
        if (!held || GetTickCount64() >= deadlineTick) {
            SetLastError(error);
            return false;
        }
        Sleep(kRenameRetryMilliseconds);
    }
}

bool waitUntilDeadline(HANDLE process, unsigned long long deadlineTick) {
    const unsigned long long now = GetTickCount64();
    const DWORD wait = now < deadlineTick ? static_cast<DWORD>(deadlineTick - now) : 0;
    return WaitForSingleObject(process, wait) == WAIT_OBJECT_0;
}

bool waitForOldLauncher(const PromotionRequest& request, unsigned long long deadlineTick) {
    if (request.processId == 0) return false;
    if (request.handle != 0) {
        const auto inherited = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(request.handle));
        // A value that is no handle to that process (a variable set by hand, a handle that was
        // not inherited) is not waited on, and not closed: it is not known to be ours.
        if (GetProcessId(inherited) != request.processId) return false;
        const KernelHandle process(inherited);
        return waitUntilDeadline(process.get(), deadlineTick);
    }
    // A launcher in the field passes the id alone.
    const KernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, request.processId));
    // No such process any more: it has ended.
    if (!process) return GetLastError() == ERROR_INVALID_PARAMETER;
    return waitUntilDeadline(process.get(), deadlineTick);
}

}  // namespace

std::optional<FileVersion> ownFileVersion() {
    return versionOfModule(GetModuleHandleW(nullptr));
}

std::optional<FileVersion> fileVersionOf(const WideString& path) {
    // Never GetFileVersionInfoW: version.dll is no KnownDLL and would be looked for beside the
    // launcher, where anyone who can write there could plant one.
    LibraryHandle image(LoadLibraryExW(path.c_str(), nullptr,
                                       LOAD_LIBRARY_AS_IMAGE_RESOURCE | LOAD_LIBRARY_AS_DATAFILE));
    if (!image) return std::nullopt;
    return versionOfModule(image.get());
}

std::optional<PromotionRequest> promotionRequest() {
    constexpr DWORD kBufferLength = 64;  // "PID:HANDLE" is at most 31 characters
    wchar_t buffer[kBufferLength] = {};
    const DWORD length = GetEnvironmentVariableW(kPromoteVariable, buffer, kBufferLength);
    if (length == 0) return std::nullopt;
    // A variable left in the user's environment, or passed on by another program, must not turn
    // the ordinary launcher into one that quietly ends.
    if (!startedAsNewLauncher()) {
        SetEnvironmentVariableW(kPromoteVariable, nullptr);
        return std::nullopt;
    }
    if (length >= kBufferLength) return PromotionRequest{};
    return parsePromotionRequest(std::wstring_view(buffer, length));
}

int runPromotion(const PromotionRequest& request) {
    const unsigned long long deadlineTick = GetTickCount64() + kOldLauncherWaitMilliseconds;
    const WideString selfPath = moduleFilePath();
    const WideString rootDir = moduleDirectory();
    logSetSiteHost(updateSiteHost());
    const WideString logs = logDirectory(rootDir);
    if (isRealDirectory(logs)) logSetPath(logFilePath(logs));

    logWrite(L"Launcher promotion started: waiting for the previous launcher (process " +
             decimal(request.processId) + L") to end.");
    if (const auto obstacle = promotionObstacle(rootDir)) return failPromotion(rootDir, *obstacle);
    if (!waitForOldLauncher(request, deadlineTick)) {
        return failPromotion(
            rootDir, {AttemptFailure::PreviousDidNotEnd, L"the previous launcher did not end."});
    }
    const WideString target = launcherPath(rootDir);
    logWrite(L"Launcher promotion: replacing " + WideString(contract::kLauncherFileName) + L".");
    if (!replaceLauncher(selfPath, target, deadlineTick)) {
        return failPromotion(rootDir,
                             {AttemptFailure::RenameFailed, win32ErrorText(GetLastError())});
    }
    const FileVersion version = *ownFileVersion();
    forceDeleteFile(attemptsPath(systemDirectory(rootDir), version));  // it has gone through
    logWrite(L"Launcher promotion completed. Launcher version: " + wideVersion(version));
    return kExitSuccess;
}

void discardFailedPromotion(const WideString& rootDir, const WideString& systemDir) {
    const WideString leftover = newLauncherPath(rootDir);
    if (!isExistingFile(leftover)) return;
    const std::optional<FileVersion> version = fileVersionOf(leftover);
    clearAttributes(leftover);
    // A promotion still running from it keeps it: it is no leftover yet.
    if (!deleteFile(leftover)) return;
    if (!version) {
        forceDeleteFile(verdictPath(systemDir));  // it has no version to speak of
        logWrite(L"Launcher update removed: " + newLauncherName() + L" (no version).");
        return;
    }
    countFailedAttempt(systemDir, *version, takeVerdict(systemDir, *version));
}

void offerLauncherUpdate(const WideString& rootDir, const WideString& systemDir,
                         const Manifest& manifest, const SignedManifest& verified) {
    const WideString candidate = candidatePath(systemDir);
    if (!isExistingFile(candidate)) return;
    const std::optional<FileVersion> offered = fileVersionOf(candidate);
    const std::optional<FileVersion> running = ownFileVersion();
    if (!offered || !running) {
        logWrite(L"Launcher update ignored: a version cannot be read.");
        return;
    }
    // Never a downgrade: a bad launcher is replaced by a higher version that fixes it.
    if (*offered <= *running) return;
    if (isRefused(systemDir, *offered)) {
        logWrite(L"Launcher update skipped: version " + wideVersion(*offered) +
                 L" was refused before.");
        return;
    }
    // A candidate the site no longer offers (withdrawn, or a run on the offline road) waits.
    const PackageEntry* package = launcherPackage(manifest);
    if (verified.bytes.empty() || package == nullptr ||
        !isPackageInstalled(packagePaths(rootDir, systemDir, *package), package->sha256)) {
        logWrite(L"Launcher update skipped: this run's manifest does not offer version " +
                 wideVersion(*offered) + L".");
        return;
    }
    if (!runsAsTheLauncher(rootDir)) {
        logWrite(L"Launcher update skipped: this launcher runs as " + runningFileName() +
                 L", not " + contract::kLauncherFileName + L".");
        return;
    }
    const WideString copy = newLauncherPath(rootDir);
    logWrite(L"Launcher update step 1: copying version " + wideVersion(*offered) + L" to " +
             newLauncherName() + L".");
    if (!copyFileReplacing(candidate, copy) || !clearAttributes(copy) || !flushFile(copy)) {
        logWrite(L"Launcher update failed: " + win32ErrorText(GetLastError()));
        forceDeleteFile(copy);
        return;
    }
    const WideString proof = proofPath(systemDir);
    if (!replaceFileDurably(proof, verified.bytes) ||
        !replaceFileDurably(proof + kProofSignatureSuffix, verified.signature)) {
        logWrite(L"Launcher update failed: " + win32ErrorText(GetLastError()));
        forceDeleteFile(copy);
        return;
    }
    forceDeleteFile(verdictPath(systemDir));  // only this attempt's verdict may count
    logWrite(L"Launcher update step 2: starting " + newLauncherName() + L".");
    DWORD error = 0;
    if (!startPromotion(rootDir, error)) {
        logWrite(L"Launcher update failed: " + win32ErrorText(error));
        forceDeleteFile(copy);
        countFailedAttempt(systemDir, *offered, AttemptFailure::StartFailed);
    }
}

}  // namespace varnix
