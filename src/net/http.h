#pragma once
// One synchronous HTTP GET per call through WinHTTP. Failures come back as false plus a Russian
// text naming the failed step (when errorText is not null).

#include "platform/text.h"

namespace varnix {

bool downloadToMemory(const WideString& url, ByteString& body, WideString* errorText);
// The file is opened only after the whole body arrived: a failed download leaves it untouched.
bool downloadToFile(const WideString& url, const WideString& path, WideString* errorText);

}  // namespace varnix
