#include "manifest/freshness.h"

#include "manifest/manifest.h"

namespace varnix {
namespace {

constexpr size_t kMaxSerialDigits = 18;
constexpr char kSerialPrefix[] = "serial|";
constexpr char kExpiresPrefix[] = "expires|";

bool startsWith(const ByteString& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

std::optional<int> digitsAt(const ByteString& text, size_t at, size_t count) {
    int value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (!isDigit(text[i])) return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// Days from 1970-01-01 to the given proleptic Gregorian date.
int64_t daysFromCivil(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

int daysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

}  // namespace

std::optional<uint64_t> parseSerial(const ByteString& digits) {
    if (digits.empty() || digits.size() > kMaxSerialDigits) return std::nullopt;
    uint64_t value = 0;
    for (char c : digits) {
        if (!isDigit(c)) return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return value;
}

std::optional<int64_t> parseUtcTime(const ByteString& text) {
    // YYYY-MM-DDTHH:MM:SSZ
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':' || text[19] != 'Z') {
        return std::nullopt;
    }
    const auto year = digitsAt(text, 0, 4), month = digitsAt(text, 5, 2),
               day = digitsAt(text, 8, 2), hour = digitsAt(text, 11, 2),
               minute = digitsAt(text, 14, 2), second = digitsAt(text, 17, 2);
    if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
    if (*month < 1 || *month > 12 || *day < 1 || *day > daysInMonth(*year, *month) || *hour > 23 ||
        *minute > 59 || *second > 59) {
        return std::nullopt;
    }
    return daysFromCivil(*year, *month, *day) * 86400 + *hour * 3600 + *minute * 60 + *second;
}

FreshnessLines parseFreshnessLines(const ByteString& manifestText) {
    FreshnessLines lines;
    bool serialSeen = false, expiresSeen = false;
    for (const ByteString& rawLine : splitString(manifestText, '\n')) {
        const ByteString line = trimWhitespace(rawLine);
        if (startsWith(line, kSerialPrefix)) {
            // A line with extra "|" fields fails the value's own check, like any other typo.
            const auto serial = parseSerial(line.substr(sizeof kSerialPrefix - 1));
            if (serialSeen || !serial) lines.wellFormed = false;
            serialSeen = true;
            lines.serial = serial;
        } else if (startsWith(line, kExpiresPrefix)) {
            const ByteString value = line.substr(sizeof kExpiresPrefix - 1);
            const auto expires = parseUtcTime(value);
            if (expiresSeen || !expires) lines.wellFormed = false;
            expiresSeen = true;
            lines.expiresAt = expires;
            lines.expiresText = value;
        }
    }
    if (!lines.wellFormed) lines.serial.reset();
    return lines;
}

FreshnessVerdict judgeFreshness(const FreshnessLines& lines, std::optional<uint64_t> stored,
                                int64_t nowUnixSeconds) {
    if (stored && !lines.serial) return FreshnessVerdict::NoSerial;
    if (stored && *lines.serial < *stored) return FreshnessVerdict::SerialLower;
    if (lines.expiresAt && nowUnixSeconds > *lines.expiresAt + kExpirySkewSeconds) {
        return FreshnessVerdict::Expired;
    }
    return FreshnessVerdict::Accepted;
}

std::optional<uint64_t> serialToStore(const FreshnessLines& lines, std::optional<uint64_t> stored) {
    if (!lines.serial || (stored && *lines.serial <= *stored)) return std::nullopt;
    return lines.serial;
}

ByteString formatStoredSerial(uint64_t serial, const ByteString& keyFingerprint) {
    return std::to_string(serial) + "\n" + keyFingerprint + "\n";
}

std::optional<uint64_t> parseStoredSerial(const ByteString& fileText,
                                          const ByteString& keyFingerprint) {
    // The final line break proves the write was complete.
    const std::vector<ByteString> lines = splitString(fileText, '\n');
    if (lines.size() != 3 || !lines[2].empty() || lines[1] != keyFingerprint ||
        keyFingerprint.empty()) {
        return std::nullopt;
    }
    return parseSerial(lines[0]);
}

}  // namespace varnix
