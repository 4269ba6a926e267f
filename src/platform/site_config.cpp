#include "platform/site_config.h"

#ifndef VARNIX_UPDATE_HOST_TEXT
#error "VARNIX_UPDATE_HOST_TEXT must be defined by the build"
#endif

namespace varnix {

const wchar_t* updateSiteHost() {
    return VARNIX_UPDATE_HOST_TEXT;
}

const TimeLimits& timeLimits() {
#ifdef VARNIX_SHORT_TIME_LIMITS
    // Test builds only: the deadline cases finish in seconds. The floor stays well below the
    // 64 KiB/s at which the tests serve an archive that must still install.
    static constexpr TimeLimits kLimits{6000, 3000, 6000, 16 * 1024, 8000, 3000};
#else
    // The manifest and its signature are a few KiB. Ninety seconds covers name resolution, a
    // TLS handshake and both bodies on a 64 kbit/s line with room to spare; past it the site is
    // treated as unreachable and the installed application starts.
    //
    // Archives are large: 200 MB on a 1 Mbit/s line (about 122 KiB/s) take about half an hour,
    // so there is no overall deadline. A transfer fails only when it stops (no byte for a
    // minute, twice WinHTTP's own per-read default, so a congested mobile line survives a
    // pause) or crawls: under 8 KiB/s (64 kbit/s, below any line we support) averaged over five
    // minutes. A site that drips a byte at a time therefore holds the launcher for minutes,
    // never for hours.
    //
    // PowerShell 5.1's Expand-Archive is slow (a few MB/s with many small files); half an hour
    // is many times what a 200 MB archive needs, yet a hung PowerShell no longer blocks for ever.
    //
    // A second start of the same root (a double click) waits 20 s for the first: long enough for
    // a start without an update, short enough that the user is told, rather than left looking
    // at nothing, while the first one installs.
    static constexpr TimeLimits kLimits{90 * 1000, 60 * 1000,      5 * 60 * 1000,
                                        8 * 1024,  30 * 60 * 1000, 20 * 1000};
#endif
    return kLimits;
}

}  // namespace varnix
