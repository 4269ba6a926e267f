#pragma once
// What is fixed when the executable is built: the update site host (VARNIX_UPDATE_HOST) and the
// time limits. Defined in site_config.cpp, compiled once per executable so that test builds can
// point the same code at another site and give it short limits.

#include "platform/text.h"

namespace varnix {

const wchar_t* updateSiteHost();

// "https://" + update site host + "/varnix/repository".
inline WideString repositoryUrl() {
    return L"https://" + WideString(updateSiteHost()) + L"/varnix/repository";
}

struct TimeLimits {
    unsigned manifestMilliseconds;     // manifest and signature together, from the first request
    unsigned stallMilliseconds;        // an archive transfer that receives no byte for this long
    unsigned floorWindowMilliseconds;  // an archive transfer is judged over windows this long ...
    unsigned floorBytesPerSecond;      // ... and fails when it averaged less than this
    unsigned powerShellMilliseconds;   // wall-clock time Expand-Archive may take
    unsigned rootLockMilliseconds;     // a second launcher of one root waits this long for it
};

const TimeLimits& timeLimits();

}  // namespace varnix
