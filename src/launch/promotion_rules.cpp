#include "launch/promotion_rules.h"

#include <array>
#include <limits>
#include <string>

namespace varnix {
namespace {

constexpr std::array<std::string_view, 7> kFailureNames = {
    "version-unreadable", "keys-do-not-load", "keys-do-not-verify", "previous-did-not-end",
    "rename-failed",      "no-verdict",       "start-failed",
};

template <typename Char>
std::optional<uint64_t> parseDecimal(std::basic_string_view<Char> text, uint64_t largest) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    uint64_t value = 0;
    for (const Char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (largest - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::optional<AttemptFailure> failureNamed(std::string_view name) {
    for (size_t i = 0; i < kFailureNames.size(); ++i) {
        if (kFailureNames[i] == name) return static_cast<AttemptFailure>(i);
    }
    return std::nullopt;
}

}  // namespace

PromotionRequest parsePromotionRequest(std::wstring_view value) {
    const size_t colon = value.find(L':');
    const auto processId =
        parseDecimal(value.substr(0, colon), std::numeric_limits<uint32_t>::max());
    if (!processId) return {};
    if (colon == std::wstring_view::npos) return {static_cast<uint32_t>(*processId), 0};
    const auto handle = parseDecimal(value.substr(colon + 1), std::numeric_limits<uint64_t>::max());
    if (!handle || *handle == 0) return {};
    return {static_cast<uint32_t>(*processId), *handle};
}

WideString promotionRequestText(const PromotionRequest& request) {
    WideString text = decimal(request.processId);
    if (request.handle != 0) text += L":" + decimal(request.handle);
    return text;
}

std::string_view attemptFailureName(AttemptFailure failure) {
    return kFailureNames[static_cast<size_t>(failure)];
}

bool isOwnFault(AttemptFailure failure) {
    return failure == AttemptFailure::VersionUnreadable ||
           failure == AttemptFailure::KeysDoNotLoad || failure == AttemptFailure::KeysDoNotVerify;
}

ByteString verdictText(const PromotionVerdict& verdict) {
    const ByteString version = verdict.version ? versionText(*verdict.version) : ByteString();
    return version + "\n" + ByteString(attemptFailureName(verdict.failure)) + "\n";
}

std::optional<PromotionVerdict> parseVerdict(std::string_view text) {
    const size_t firstEnd = text.find('\n');
    if (firstEnd == std::string_view::npos) return std::nullopt;
    const std::string_view versionLine = text.substr(0, firstEnd);
    std::string_view reasonLine = text.substr(firstEnd + 1);
    if (reasonLine.empty() || reasonLine.back() != '\n') return std::nullopt;
    reasonLine.remove_suffix(1);
    PromotionVerdict verdict;
    if (!versionLine.empty()) {
        verdict.version = parseVersionText(versionLine);
        if (!verdict.version) return std::nullopt;
    }
    const std::optional<AttemptFailure> failure = failureNamed(reasonLine);
    if (!failure) return std::nullopt;
    verdict.failure = *failure;
    return verdict;
}

AttemptDecision weighFailedAttempt(AttemptFailure failure, unsigned earlierAttempts) {
    const unsigned attempt =
        earlierAttempts < kPromotionAttempts ? earlierAttempts + 1 : kPromotionAttempts;
    return {attempt, isOwnFault(failure) || attempt >= kPromotionAttempts};
}

ByteString attemptCountText(unsigned attempts) {
    return std::to_string(attempts) + "\n";
}

unsigned parseAttemptCount(std::string_view text) {
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    const auto count = parseDecimal(text, kPromotionAttempts);
    return count ? static_cast<unsigned>(*count) : 0;
}

}  // namespace varnix
