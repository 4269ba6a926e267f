#include "manifest/freshness_check.h"

#include <windows.h>

#include <cstdint>
#include <optional>

#include "manifest/freshness.h"
#include "manifest_key.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "platform/path.h"
#include "platform/text_conversion.h"

namespace varnix {
namespace {

constexpr wchar_t kSerialFileName[] = L"manifest.serial";
constexpr wchar_t kStaleReason[] = L"manifest.txt устарел: ";

int64_t nowUnixSeconds() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    constexpr uint64_t kTicksPerSecond = 10000000;
    constexpr uint64_t kEpochDifferenceSeconds = 11644473600;  // 1601-01-01 to 1970-01-01
    return static_cast<int64_t>(ticks / kTicksPerSecond - kEpochDifferenceSeconds);
}

// The serial counts the site's releases across a key rotation: one filed under either key the
// launcher carries is the site's, so a replay of an older manifest signed with the other key is
// still refused.
std::optional<uint64_t> readStoredSerial(const WideString& path) {
    forceDeleteFile(durableWriteTemporary(path));  // an interrupted write of an earlier start
    const ByteString stored = readWholeFile(path);
    for (const ManifestKey& key : kManifestKeys) {
        if (const std::optional<uint64_t> serial = parseStoredSerial(stored, key.fingerprint)) {
            return serial;
        }
    }
    return std::nullopt;
}

void refuse(FreshnessVerdict verdict, const FreshnessLines& lines, uint64_t stored,
            WideString& errorText) {
    WideString logLine, reason;
    switch (verdict) {
        case FreshnessVerdict::SerialLower:
            logLine = L"serial " + decimal(*lines.serial) + L" is lower than " + decimal(stored) +
                      L" already seen.";
            reason = L"номер выпуска меньше уже полученного";
            break;
        case FreshnessVerdict::NoSerial:
            logLine = L"it has no serial, although " + decimal(stored) + L" was already seen.";
            reason = L"нет номера выпуска";
            break;
        default:
            logLine = L"expired at " + utf8ToWide(lines.expiresText) + L".";
            reason = L"срок действия истёк";
            break;
    }
    logWrite(L"Manifest refused: " + logLine);
    errorText = kStaleReason + reason;
}

}  // namespace

bool checkManifestFreshness(const ByteString& manifestBytes, const WideString& packageStateDir,
                            const char* keyFingerprint, WideString& errorText) {
    const WideString serialFile = joinPath(packageStateDir, kSerialFileName);
    const std::optional<uint64_t> stored = readStoredSerial(serialFile);
    const FreshnessLines lines = parseFreshnessLines(manifestBytes);
    const FreshnessVerdict verdict = judgeFreshness(lines, stored, nowUnixSeconds());
    if (verdict != FreshnessVerdict::Accepted) {
        refuse(verdict, lines, stored.value_or(0), errorText);
        return false;
    }
    if (const std::optional<uint64_t> grown = serialToStore(lines, stored)) {
        // A state directory that cannot be made names the reason itself (access denied), not
        // the missing path the write would then report.
        if (!ensureDirectory(packageStateDir) ||
            !replaceFileDurably(serialFile, formatStoredSerial(*grown, keyFingerprint))) {
            logWrite(L"Manifest serial not stored: " + lastErrorText());
        }
    }
    return true;
}

}  // namespace varnix
