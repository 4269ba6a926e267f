#pragma once
// The rules of a launcher promotion that need no Windows header: the request the old launcher
// hands to the new one, the verdict a new launcher leaves when it does not take the name, and how
// the next start weighs a failed attempt. Tested on every platform.

#include <cstdint>
#include <optional>
#include <string_view>

#include "launch/launcher_version.h"
#include "platform/text.h"

namespace varnix {

// What VARNIX_LAUNCHER_PROMOTE holds: "PID:HANDLE", or "PID" alone from launchers already in the
// field. The handle is an inherited handle to the old launcher; 0 when none was passed.
struct PromotionRequest {
    uint32_t processId = 0;
    uint64_t handle = 0;
};

// Decimal numbers, nothing around them. Any other text is {0, 0}, which no promotion accepts.
PromotionRequest parsePromotionRequest(std::wstring_view value);
WideString promotionRequestText(const PromotionRequest& request);

// Why an attempt to promote a launcher version did not complete. The first five are what the new
// launcher records itself; the last two are what the next start finds without such a record.
enum class AttemptFailure {
    VersionUnreadable,
    KeysDoNotLoad,
    KeysDoNotVerify,
    PreviousDidNotEnd,
    RenameFailed,
    NoVerdict,    // killed, or the power went
    StartFailed,  // CreateProcessW refused it
};

// "version-unreadable", "keys-do-not-load", ...: the names the verdict and the log use.
std::string_view attemptFailureName(AttemptFailure failure);
// A fault of the new launcher itself: no later attempt can go differently.
bool isOwnFault(AttemptFailure failure);

inline constexpr unsigned kPromotionAttempts = 3;

// The new launcher's own account of why it did not take the name.
struct PromotionVerdict {
    std::optional<FileVersion> version;  // none when it cannot read its own
    AttemptFailure failure = AttemptFailure::NoVerdict;
};

// Two lines: the version ("a.b.c.d", empty when unknown) and the failure's name.
ByteString verdictText(const PromotionVerdict& verdict);
// Nothing for any text that verdictText does not write.
std::optional<PromotionVerdict> parseVerdict(std::string_view text);

// The failed attempt's number, counting those before it, and whether the version is refused now:
// at once for an own fault, otherwise with the last attempt allowed.
struct AttemptDecision {
    unsigned attempt = 0;
    bool refuse = false;
};
AttemptDecision weighFailedAttempt(AttemptFailure failure, unsigned earlierAttempts);

// The attempts file holds the count in decimal; anything else counts as none.
ByteString attemptCountText(unsigned attempts);
unsigned parseAttemptCount(std::string_view text);

}  // namespace varnix
