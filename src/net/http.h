#pragma once
// One synchronous HTTP GET per call through WinHTTP. Failures come back as false plus a Russian
// text naming the failed step (when errorText is not null).

#include "platform/text.h"

namespace varnix {

// What a single transfer may cost. Zero leaves a limit out.
struct TransferLimits {
    unsigned long long maxBytes = 0;      // a larger body, announced or received, fails
    unsigned long long deadlineTick = 0;  // GetTickCount64() value by which the body must be in
    unsigned stallMilliseconds = 0;       // longest wait for the next byte
    unsigned floorWindowMilliseconds = 0;
    unsigned floorBytesPerSecond = 0;  // average over each window, or the transfer fails
};

// The text of a failed download that ran out of time: the same for a deadline and a stall.
WideString downloadTimeoutText();

[[nodiscard]] bool downloadToMemory(const WideString& url, ByteString& body, WideString* errorText,
                                    const TransferLimits& limits = {});
// An archive: no overall deadline, but a stalled or crawling transfer fails (timeLimits()).
// The file is opened only after the whole body arrived: a failed download leaves it untouched.
[[nodiscard]] bool downloadToFile(const WideString& url, const WideString& path,
                                  WideString* errorText);

}  // namespace varnix
