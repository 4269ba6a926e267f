#include "launch/self_update.h"

#include <windows.h>

#include <cwchar>

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
#include "platform/site_config.h"
#include "platform/text_conversion.h"
#include "varnix/contract.h"

namespace varnix {
namespace {

// The old launcher ends right after it started the new one; this only bounds a launcher that
// hangs, or a process id that another process took over.
constexpr DWORD kOldLauncherWaitMilliseconds = 30 * 1000;

constexpr wchar_t kNewSuffix[] = L".new";
// The launcher package installs its candidate into the directory of its own name
// (varnix/value_rules.h, where archive entries of other packages are kept out of it).
const WideString kCandidateDirectoryName = asciiText(kLauncherPackageName);
constexpr wchar_t kRefusedFileName[] = L"launcher.refused";
// The manifest and signature the old launcher verified in its run, for the new one to verify.
constexpr wchar_t kProofFileName[] = L"launcher.manifest";
constexpr wchar_t kProofSignatureSuffix[] = L".sig";
constexpr DWORD kRenameRetryMilliseconds = 250;

WideString launcherPath(const WideString& rootDir) {
    return joinPath(rootDir, contract::kLauncherFileName);
}

WideString newLauncherPath(const WideString& rootDir) {
    return launcherPath(rootDir) + kNewSuffix;
}

WideString newLauncherName() {
    return WideString(contract::kLauncherFileName) + kNewSuffix;
}

WideString candidatePath(const WideString& systemDir) {
    return joinPath(joinPath(systemDir, kCandidateDirectoryName), contract::kLauncherFileName);
}

WideString refusedPath(const WideString& systemDir) {
    return joinPath(packageStateDirectory(systemDir), kRefusedFileName);
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

// The promote variable exists only around CreateProcessW, whatever its result.
bool startPromotion(const WideString& rootDir, DWORD& error) {
    const WideString path = newLauncherPath(rootDir);
    WideString commandLine = quoteArgument(path);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    SetEnvironmentVariableW(kPromoteVariable, decimal(GetCurrentProcessId()).c_str());
    const BOOL created = CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                                        0, nullptr, rootDir.c_str(), &startup, &info);
    error = created ? 0 : GetLastError();
    SetEnvironmentVariableW(kPromoteVariable, nullptr);
    if (!created) return false;
    const ProcessHandles started(info);  // the new launcher runs on its own
    return true;
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

// Why this executable must not become VarnixLauncher.exe; empty when it may.
WideString promotionObstacle(const WideString& rootDir) {
    if (!ownFileVersion()) return L"its own version cannot be read.";
    if (!manifestKeysLoad()) return L"its manifest key does not load.";
    if (!verifiesTheSitesManifest(systemDirectory(rootDir))) {
        return L"its manifest keys do not verify the site's manifest.";
    }
    return {};
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

bool waitForOldLauncher(uint32_t oldProcessId, unsigned long long deadlineTick) {
    if (oldProcessId == 0) return false;
    KernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, oldProcessId));
    // No such process any more: it has ended.
    if (!process) return GetLastError() == ERROR_INVALID_PARAMETER;
    const unsigned long long now = GetTickCount64();
    const DWORD wait = now < deadlineTick ? static_cast<DWORD>(deadlineTick - now) : 0;
    return WaitForSingleObject(process.get(), wait) == WAIT_OBJECT_0;
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

std::optional<uint32_t> promotionRequest() {
    wchar_t buffer[16] = {};
    const DWORD length = GetEnvironmentVariableW(kPromoteVariable, buffer, 16);
    if (length == 0) return std::nullopt;
    // A variable left in the user's environment, or passed on by another program, must not turn
    // the ordinary launcher into one that quietly ends.
    if (!startedAsNewLauncher()) {
        SetEnvironmentVariableW(kPromoteVariable, nullptr);
        return std::nullopt;
    }
    wchar_t* end = nullptr;
    const unsigned long value = std::wcstoul(buffer, &end, 10);
    const bool valid = length < 16 && end == buffer + length && value <= MAXDWORD;
    return valid ? static_cast<uint32_t>(value) : 0;
}

int runPromotion(uint32_t oldProcessId) {
    const unsigned long long deadlineTick = GetTickCount64() + kOldLauncherWaitMilliseconds;
    const WideString selfPath = moduleFilePath();
    const WideString rootDir = moduleDirectory();
    logSetSiteHost(updateSiteHost());
    const WideString logs = logDirectory(rootDir);
    if (isRealDirectory(logs)) logSetPath(logFilePath(logs));

    logWrite(L"Launcher promotion started: waiting for the previous launcher (process " +
             decimal(oldProcessId) + L") to end.");
    const WideString obstacle = promotionObstacle(rootDir);
    if (!obstacle.empty()) {
        logWrite(L"Launcher promotion failed: " + obstacle);
        return kExitFailure;
    }
    if (!waitForOldLauncher(oldProcessId, deadlineTick)) {
        logWrite(L"Launcher promotion failed: the previous launcher did not end.");
        return kExitFailure;
    }
    const WideString target = launcherPath(rootDir);
    logWrite(L"Launcher promotion: replacing " + WideString(contract::kLauncherFileName) + L".");
    if (!replaceLauncher(selfPath, target, deadlineTick)) {
        logWrite(L"Launcher promotion failed: " + win32ErrorText(GetLastError()));
        return kExitFailure;
    }
    logWrite(L"Launcher promotion completed. Launcher version: " + wideVersion(*ownFileVersion()));
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
        logWrite(L"Launcher update removed: " + newLauncherName() + L" (no version).");
        return;
    }
    logWrite(L"Launcher update removed: " + newLauncherName() + L" did not become " +
             contract::kLauncherFileName + L". Version refused: " + wideVersion(*version));
    refuseVersion(systemDir, *version);
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
    logWrite(L"Launcher update step 2: starting " + newLauncherName() + L".");
    DWORD error = 0;
    if (!startPromotion(rootDir, error)) {
        logWrite(L"Launcher update failed: " + win32ErrorText(error));
        forceDeleteFile(copy);
        refuseVersion(systemDir, *offered);
    }
}

}  // namespace varnix
