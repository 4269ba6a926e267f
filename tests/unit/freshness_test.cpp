#include "manifest/freshness.h"

#include <optional>

#include <gtest/gtest.h>

using namespace varnix;

namespace {

constexpr char kPackage[] = "package|core|core.zip|00|1|Varnix.exe\n";
constexpr int64_t kExpiry = 1767225600;  // 2026-01-01T00:00:00Z
constexpr char kExpiryText[] = "2026-01-01T00:00:00Z";

struct LinesCase {
    const char* name;
    std::string text;
    bool wellFormed;
    std::optional<uint64_t> serial;
    std::optional<int64_t> expiresAt;
};

class FreshnessLinesTable : public testing::TestWithParam<LinesCase> {};

TEST_P(FreshnessLinesTable, Parses) {
    const FreshnessLines lines = parseFreshnessLines(kPackage + GetParam().text);
    EXPECT_EQ(lines.wellFormed, GetParam().wellFormed);
    EXPECT_EQ(lines.serial, GetParam().serial);
    EXPECT_EQ(lines.expiresAt, GetParam().expiresAt);
}

INSTANTIATE_TEST_SUITE_P(
    Manifest, FreshnessLinesTable,
    testing::Values(
        LinesCase{"none", "", true, std::nullopt, std::nullopt},
        LinesCase{"serial", "serial|200\r\n", true, 200, std::nullopt},
        LinesCase{"leading_zeros", "serial|000000000000000042", true, 42, std::nullopt},
        LinesCase{"largest", "serial|999999999999999999", true, 999999999999999999ull,
                  std::nullopt},
        LinesCase{"nineteen_digits", "serial|1000000000000000000", false, std::nullopt,
                  std::nullopt},
        LinesCase{"empty", "serial|", false, std::nullopt, std::nullopt},
        LinesCase{"sign", "serial|+5", false, std::nullopt, std::nullopt},
        LinesCase{"blank_inside", "serial|1 2", false, std::nullopt, std::nullopt},
        LinesCase{"extra_field", "serial|5|", false, std::nullopt, std::nullopt},
        LinesCase{"twice_equal", "serial|5\nserial|5", false, std::nullopt, std::nullopt},
        LinesCase{"other_case_is_no_line", "Serial|5", true, std::nullopt, std::nullopt},
        LinesCase{"expires", std::string("serial|7\nexpires|") + kExpiryText, true, 7, kExpiry},
        LinesCase{"expires_leap_day", "expires|2024-02-29T23:59:59Z", true, std::nullopt,
                  1709251199},
        LinesCase{"expires_no_leap_day", "serial|7\nexpires|2025-02-29T00:00:00Z", false,
                  std::nullopt, std::nullopt},
        LinesCase{"expires_local_time", "serial|7\nexpires|2026-01-01T00:00:00", false,
                  std::nullopt, std::nullopt},
        LinesCase{"expires_extra_field", std::string("serial|7\nexpires|") + kExpiryText + "|x",
                  false, std::nullopt, std::nullopt},
        LinesCase{"expires_hour_24", "serial|7\nexpires|2026-01-01T24:00:00Z", false, std::nullopt,
                  std::nullopt},
        LinesCase{"expires_twice",
                  std::string("serial|7\nexpires|") + kExpiryText + "\nexpires|" + kExpiryText,
                  false, std::nullopt, kExpiry}),
    [](const testing::TestParamInfo<LinesCase>& info) { return info.param.name; });

struct VerdictCase {
    const char* name;
    std::string text;
    std::optional<uint64_t> stored;
    int64_t now;
    FreshnessVerdict verdict;
    std::optional<uint64_t> toStore;
};

class FreshnessVerdictTable : public testing::TestWithParam<VerdictCase> {};

TEST_P(FreshnessVerdictTable, Judges) {
    const FreshnessLines lines = parseFreshnessLines(GetParam().text);
    const FreshnessVerdict verdict = judgeFreshness(lines, GetParam().stored, GetParam().now);
    EXPECT_EQ(verdict, GetParam().verdict);
    if (verdict == FreshnessVerdict::Accepted) {
        EXPECT_EQ(serialToStore(lines, GetParam().stored), GetParam().toStore);
    }
}

const std::string kExpiring = std::string("serial|200\nexpires|") + kExpiryText;

INSTANTIATE_TEST_SUITE_P(
    Manifest, FreshnessVerdictTable,
    testing::Values(
        VerdictCase{"first_contact", "serial|200", std::nullopt, 0, FreshnessVerdict::Accepted,
                    200},
        VerdictCase{"site_without_serials", "", std::nullopt, 0, FreshnessVerdict::Accepted,
                    std::nullopt},
        VerdictCase{"malformed_before_any_serial", "serial|x", std::nullopt, 0,
                    FreshnessVerdict::Accepted, std::nullopt},
        VerdictCase{"grown", "serial|201", 200, 0, FreshnessVerdict::Accepted, 201},
        VerdictCase{"equal_is_the_same_release", "serial|200", 200, 0, FreshnessVerdict::Accepted,
                    std::nullopt},
        VerdictCase{"lower", "serial|199", 200, 0, FreshnessVerdict::SerialLower, std::nullopt},
        VerdictCase{"missing", "", 200, 0, FreshnessVerdict::NoSerial, std::nullopt},
        VerdictCase{"malformed", "serial|201|x", 200, 0, FreshnessVerdict::NoSerial, std::nullopt},
        VerdictCase{"repeated", "serial|201\nserial|202", 200, 0, FreshnessVerdict::NoSerial,
                    std::nullopt},
        VerdictCase{"bad_expiry_counts_as_no_serial", "serial|201\nexpires|soon", 200, 0,
                    FreshnessVerdict::NoSerial, std::nullopt},
        VerdictCase{"within_skew", kExpiring, std::nullopt, kExpiry + kExpirySkewSeconds,
                    FreshnessVerdict::Accepted, 200},
        VerdictCase{"past_skew", kExpiring, std::nullopt, kExpiry + kExpirySkewSeconds + 1,
                    FreshnessVerdict::Expired, std::nullopt},
        VerdictCase{"lower_wins_over_expired", kExpiring, 300, kExpiry * 2,
                    FreshnessVerdict::SerialLower, std::nullopt}),
    [](const testing::TestParamInfo<VerdictCase>& info) { return info.param.name; });

const std::string kFingerprint(64, 'a');

TEST(StoredSerial, RoundTripsOnlyWhenCompleteAndForTheSameKey) {
    const std::string file = formatStoredSerial(123456789012345678ull, kFingerprint);
    EXPECT_EQ(parseStoredSerial(file, kFingerprint), 123456789012345678ull);
    EXPECT_EQ(parseStoredSerial(file, std::string(64, 'b')), std::nullopt);  // key rotated
    EXPECT_EQ(parseStoredSerial(file, ""), std::nullopt);
    for (size_t length = 0; length < file.size(); ++length) {
        EXPECT_EQ(parseStoredSerial(file.substr(0, length), kFingerprint), std::nullopt) << length;
    }
    EXPECT_EQ(parseStoredSerial(file + "\n", kFingerprint), std::nullopt);
}

}  // namespace
