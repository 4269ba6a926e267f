#include "launch/promotion_rules.h"

#include <optional>
#include <string>

#include <gtest/gtest.h>

using namespace varnix;

namespace {

constexpr FileVersion kVersion = 0x0001000200030004ull;  // 1.2.3.4

struct RequestCase {
    const char* name;
    const wchar_t* value;
    uint32_t processId;
    uint64_t handle;
};

class PromotionRequestTable : public testing::TestWithParam<RequestCase> {};

TEST_P(PromotionRequestTable, ReadsOnlyDecimalIdAndHandle) {
    const PromotionRequest request = parsePromotionRequest(GetParam().value);
    EXPECT_EQ(request.processId, GetParam().processId);
    EXPECT_EQ(request.handle, GetParam().handle);
}

INSTANTIATE_TEST_SUITE_P(
    Value, PromotionRequestTable,
    testing::Values(
        RequestCase{"id_and_handle", L"1234:56", 1234, 56},
        RequestCase{"id_alone_from_a_launcher_in_the_field", L"1234", 1234, 0},
        RequestCase{"largest_id", L"4294967295:1", 4294967295u, 1},
        RequestCase{"largest_handle", L"7:18446744073709551615", 7, 18446744073709551615ull},
        RequestCase{"id_too_large", L"4294967296:1", 0, 0},
        RequestCase{"handle_too_large", L"7:18446744073709551616", 0, 0},
        RequestCase{"empty", L"", 0, 0}, RequestCase{"no_handle_after_colon", L"1234:", 0, 0},
        RequestCase{"handle_zero", L"1234:0", 0, 0}, RequestCase{"no_id", L":56", 0, 0},
        RequestCase{"two_handles", L"1234:56:78", 0, 0}, RequestCase{"sign", L"+1234", 0, 0},
        RequestCase{"blank", L" 1234", 0, 0}, RequestCase{"hex", L"0x10:56", 0, 0}),
    [](const testing::TestParamInfo<RequestCase>& info) { return std::string(info.param.name); });

TEST(PromotionRequest, TextReadsBack) {
    const PromotionRequest request{4321, 0x1a4};
    EXPECT_EQ(promotionRequestText(request), L"4321:420");
    const PromotionRequest read = parsePromotionRequest(promotionRequestText(request));
    EXPECT_EQ(read.processId, 4321u);
    EXPECT_EQ(read.handle, 0x1a4u);
}

struct AttemptCase {
    const char* name;
    AttemptFailure failure;
    unsigned earlier;
    unsigned attempt;
    bool refuse;
};

class FailedAttemptTable : public testing::TestWithParam<AttemptCase> {};

TEST_P(FailedAttemptTable, RefusesOwnFaultsAtOnceAndOthersAtTheThird) {
    const AttemptDecision decision = weighFailedAttempt(GetParam().failure, GetParam().earlier);
    EXPECT_EQ(decision.attempt, GetParam().attempt);
    EXPECT_EQ(decision.refuse, GetParam().refuse);
}

INSTANTIATE_TEST_SUITE_P(
    Failure, FailedAttemptTable,
    testing::Values(
        AttemptCase{"version_unreadable", AttemptFailure::VersionUnreadable, 0, 1, true},
        AttemptCase{"keys_do_not_load", AttemptFailure::KeysDoNotLoad, 0, 1, true},
        AttemptCase{"keys_do_not_verify", AttemptFailure::KeysDoNotVerify, 0, 1, true},
        AttemptCase{"keys_do_not_verify_after_a_held_file", AttemptFailure::KeysDoNotVerify, 1, 2,
                    true},
        AttemptCase{"previous_did_not_end_first", AttemptFailure::PreviousDidNotEnd, 0, 1, false},
        AttemptCase{"rename_failed_second", AttemptFailure::RenameFailed, 1, 2, false},
        AttemptCase{"rename_failed_third", AttemptFailure::RenameFailed, 2, 3, true},
        AttemptCase{"no_verdict_first", AttemptFailure::NoVerdict, 0, 1, false},
        AttemptCase{"no_verdict_third", AttemptFailure::NoVerdict, 2, 3, true},
        AttemptCase{"start_failed_second", AttemptFailure::StartFailed, 1, 2, false},
        AttemptCase{"start_failed_third", AttemptFailure::StartFailed, 2, 3, true},
        AttemptCase{"count_past_the_last", AttemptFailure::NoVerdict, 7, 3, true}),
    [](const testing::TestParamInfo<AttemptCase>& info) { return std::string(info.param.name); });

// The names the verdict file and the log line carry.
TEST(AttemptFailureNames, AreTheRecordedWords) {
    EXPECT_EQ(attemptFailureName(AttemptFailure::VersionUnreadable), "version-unreadable");
    EXPECT_EQ(attemptFailureName(AttemptFailure::KeysDoNotLoad), "keys-do-not-load");
    EXPECT_EQ(attemptFailureName(AttemptFailure::KeysDoNotVerify), "keys-do-not-verify");
    EXPECT_EQ(attemptFailureName(AttemptFailure::PreviousDidNotEnd), "previous-did-not-end");
    EXPECT_EQ(attemptFailureName(AttemptFailure::RenameFailed), "rename-failed");
    EXPECT_EQ(attemptFailureName(AttemptFailure::NoVerdict), "no-verdict");
    EXPECT_EQ(attemptFailureName(AttemptFailure::StartFailed), "start-failed");
}

TEST(PromotionVerdictText, ReadsBackWithAndWithoutVersion) {
    EXPECT_EQ(verdictText({kVersion, AttemptFailure::RenameFailed}), "1.2.3.4\nrename-failed\n");
    EXPECT_EQ(verdictText({std::nullopt, AttemptFailure::VersionUnreadable}),
              "\nversion-unreadable\n");
    for (const std::optional<FileVersion> version :
         {std::optional<FileVersion>(kVersion), std::optional<FileVersion>()}) {
        const auto read = parseVerdict(verdictText({version, AttemptFailure::KeysDoNotVerify}));
        ASSERT_TRUE(read.has_value());
        EXPECT_EQ(read->version, version);
        EXPECT_EQ(read->failure, AttemptFailure::KeysDoNotVerify);
    }
}

class MalformedVerdictTable : public testing::TestWithParam<const char*> {};

TEST_P(MalformedVerdictTable, IsNoVerdict) {
    EXPECT_FALSE(parseVerdict(GetParam()).has_value());
}

INSTANTIATE_TEST_SUITE_P(Text, MalformedVerdictTable,
                         testing::Values("", "1.2.3.4\n", "1.2.3.4\nrename-failed",
                                         "1.2.3\nrename-failed\n", "1.2.3.4\nheld\n",
                                         "1.2.3.4\nrename-failed\nextra\n",
                                         "rename-failed\n1.2.3.4\n"));

TEST(AttemptCount, ReadsBackAndIgnoresAnythingElse) {
    EXPECT_EQ(parseAttemptCount(attemptCountText(2)), 2u);
    EXPECT_EQ(parseAttemptCount(""), 0u);
    EXPECT_EQ(parseAttemptCount("two\n"), 0u);
    EXPECT_EQ(parseAttemptCount("-1\n"), 0u);
    EXPECT_EQ(parseAttemptCount("99999999999999999999999\n"), 0u);
}

}  // namespace
