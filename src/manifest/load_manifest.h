#pragma once

#include "manifest/manifest.h"
#include "platform/text.h"

namespace varnix {

// "https://" + update site host + "/varnix/repository".
WideString repositoryUrl();

// Downloads manifest.txt and manifest.txt.sig, verifies the RSA-3072 PKCS #1 v1.5 SHA-256
// signature with the compiled-in key and parses the manifest. Every authenticity or content
// failure leaves a reason that begins with "SECURITY:". A signed but stale manifest is refused
// with a reason that does not (see checkManifestFreshness); its serial lives in packageStateDir.
bool loadManifest(const WideString& packageStateDir, Manifest& manifest, WideString* errorText);

// The signature check alone, for a manifest already in memory.
bool verifyManifestSignature(const ByteString& manifestBytes, const ByteString& signature,
                             WideString* errorText);

}  // namespace varnix
