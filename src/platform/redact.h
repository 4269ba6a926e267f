#pragma once

#include "platform/text.h"

namespace varnix {

// Replaces the update site's address: "https://"+host, then "http://"+host, then the bare host.
WideString redactSiteUrls(const WideString& line, const WideString& host);

}  // namespace varnix
