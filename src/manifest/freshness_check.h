#pragma once
// The launcher's side of manifest freshness: the stored serial under the package state directory.

#include "platform/text.h"

namespace varnix {

// Runs after the signature verified. Refuses a replayed, serial-less or expired manifest with a
// reason that does not begin with "SECURITY:", so the launcher takes the offline road: the site
// signed it, and blocking the start would only hand a replaying attacker a denial of service.
// An accepted manifest whose serial grew is recorded durably before anything is installed, under
// the fingerprint of the key that verified it.
bool checkManifestFreshness(const ByteString& manifestBytes, const WideString& packageStateDir,
                            const char* keyFingerprint, WideString& errorText);

}  // namespace varnix
