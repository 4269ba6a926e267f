#pragma once
// The freshness lines of manifest.txt ("serial|N", "expires|YYYY-MM-DDTHH:MM:SSZ") and the
// stored serial they are compared with. Portable: no Windows header. Launchers that predate
// these lines ignore them, because the package parser reads only "package|" lines.

#include <cstdint>
#include <optional>

#include "platform/text.h"

namespace varnix {

// A site clock and a user's clock may disagree by this much before a manifest counts as expired.
inline constexpr int64_t kExpirySkewSeconds = 24 * 60 * 60;

struct FreshnessLines {
    // False when a serial or expires line is malformed or repeated: then the manifest counts
    // as one without a serial, whatever else it holds.
    bool wellFormed = true;
    std::optional<uint64_t> serial;
    std::optional<int64_t> expiresAt;  // seconds since 1970-01-01T00:00:00Z
    ByteString expiresText;            // as written, for the log
};

FreshnessLines parseFreshnessLines(const ByteString& manifestText);

// 1 to 18 decimal digits, leading zeros allowed; nothing else.
std::optional<uint64_t> parseSerial(const ByteString& digits);

// "YYYY-MM-DDTHH:MM:SSZ" exactly, a real calendar date; seconds since the epoch.
std::optional<int64_t> parseUtcTime(const ByteString& text);

enum class FreshnessVerdict { Accepted, SerialLower, NoSerial, Expired };

// `stored` is the highest serial accepted before with the key that verified this manifest.
FreshnessVerdict judgeFreshness(const FreshnessLines& lines, std::optional<uint64_t> stored,
                                int64_t nowUnixSeconds);

// The serial to record after an accepted manifest, or nothing when the stored one stays.
std::optional<uint64_t> serialToStore(const FreshnessLines& lines, std::optional<uint64_t> stored);

// The stored-serial file: the serial and the verifying key's fingerprint, one per line.
ByteString formatStoredSerial(uint64_t serial, const ByteString& keyFingerprint);
// Nothing for a truncated or malformed file, or one written for another key.
std::optional<uint64_t> parseStoredSerial(const ByteString& fileText,
                                          const ByteString& keyFingerprint);

}  // namespace varnix
