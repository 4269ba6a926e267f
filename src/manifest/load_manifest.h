#pragma once

#include "manifest/manifest.h"
#include "platform/text.h"

namespace varnix {

// Downloads manifest.txt and manifest.txt.sig, verifies the RSA-3072 PKCS #1 v1.5 SHA-256
// signature with the compiled-in key and parses the manifest. A pair that does not verify is
// fetched once more. Every authenticity or content failure leaves a reason that begins with
// "SECURITY:"; a site too slow for the deadline does not, and neither does a signed but stale
// manifest (see checkManifestFreshness), whose serial lives in packageStateDir.
// The manifest and signature a run verified, kept for a new launcher to prove it verifies them too.
struct SignedManifest {
    ByteString bytes;
    ByteString signature;
};

[[nodiscard]] bool loadManifest(const WideString& packageStateDir, Manifest& manifest,
                                WideString& errorText, SignedManifest* verified = nullptr);

// The signature check alone, for a manifest already in memory: true when one of the compiled-in
// keys (one, or two while the signing key is rotated) verifies it; that key's fingerprint goes
// to keyFingerprint.
[[nodiscard]] bool verifyManifestSignature(const ByteString& manifestBytes,
                                           const ByteString& signature, WideString& errorText,
                                           const char** keyFingerprint = nullptr);

// Every compiled-in key imports into CNG: a launcher that cannot verify any manifest must never
// replace one that can.
bool manifestKeysLoad();

}  // namespace varnix
