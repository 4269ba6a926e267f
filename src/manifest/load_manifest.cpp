#include "manifest/load_manifest.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstring>
#include <utility>
#include <vector>

#include "manifest/cng.h"
#include "manifest/freshness_check.h"
#include "manifest/sha256.h"
#include "manifest_key.h"
#include "net/http.h"
#include "platform/error_text.h"
#include "platform/log.h"
#include "platform/site_config.h"
#include "platform/text_conversion.h"

namespace varnix {
namespace {

constexpr ULONG kKeyBits = 3072;

std::vector<UCHAR> publicKeyBlob(const ManifestKey& manifestKey) {
    BCRYPT_RSAKEY_BLOB header{};
    header.Magic = BCRYPT_RSAPUBLIC_MAGIC;
    header.BitLength = kKeyBits;
    header.cbPublicExp = sizeof manifestKey.exponent;
    header.cbModulus = sizeof manifestKey.modulus;
    std::vector<UCHAR> blob(sizeof header + sizeof manifestKey.exponent +
                            sizeof manifestKey.modulus);
    std::memcpy(blob.data(), &header, sizeof header);
    std::memcpy(blob.data() + sizeof header, manifestKey.exponent, sizeof manifestKey.exponent);
    std::memcpy(blob.data() + sizeof header + sizeof manifestKey.exponent, manifestKey.modulus,
                sizeof manifestKey.modulus);
    return blob;
}

bool importKey(BCRYPT_ALG_HANDLE provider, const ManifestKey& manifestKey, CngKey& key) {
    std::vector<UCHAR> blob = publicKeyBlob(manifestKey);
    return BCRYPT_SUCCESS(BCryptImportKeyPair(provider, nullptr, BCRYPT_RSAPUBLIC_BLOB, key.put(),
                                              blob.data(), static_cast<ULONG>(blob.size()), 0));
}

bool verifiesWith(BCRYPT_KEY_HANDLE key, ByteString digest, ByteString signature) {
    BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
    return BCryptVerifySignature(key, &padding, reinterpret_cast<PUCHAR>(digest.data()),
                                 static_cast<ULONG>(digest.size()),
                                 reinterpret_cast<PUCHAR>(signature.data()),
                                 static_cast<ULONG>(signature.size()), BCRYPT_PAD_PKCS1) == 0;
}

}  // namespace

bool verifyManifestSignature(const ByteString& manifestBytes, const ByteString& signature,
                             WideString& errorText, const char** keyFingerprint) {
    const ByteString digest = sha256Bytes(manifestBytes);
    if (digest.empty()) {
        errorText = securityFailure(L"не удалось посчитать SHA-256 manifest.txt.");
        return false;
    }
    CngAlgorithm provider;
    if (!BCRYPT_SUCCESS(
            BCryptOpenAlgorithmProvider(provider.put(), BCRYPT_RSA_ALGORITHM, nullptr, 0))) {
        errorText = securityFailure(L"BCryptOpenAlgorithmProvider RSA failed.");
        return false;
    }
    // While the signing key is rotated the launcher carries the current key and the next one;
    // a manifest signed with either is the site's.
    for (const ManifestKey& manifestKey : kManifestKeys) {
        CngKey key;
        if (!importKey(provider.get(), manifestKey, key)) {
            errorText = securityFailure(L"не удалось импортировать публичный RSA ключ.");
            return false;
        }
        if (verifiesWith(key.get(), digest, signature)) {
            if (keyFingerprint) *keyFingerprint = manifestKey.fingerprint;
            return true;
        }
    }
    errorText = securityFailure(
        L"подпись manifest.txt недействительна. Файл обновления мог быть "
        L"повреждён или подменён.");
    return false;
}

bool manifestKeysLoad() {
    CngAlgorithm provider;
    if (!BCRYPT_SUCCESS(
            BCryptOpenAlgorithmProvider(provider.put(), BCRYPT_RSA_ALGORITHM, nullptr, 0))) {
        return false;
    }
    for (const ManifestKey& manifestKey : kManifestKeys) {
        CngKey key;
        if (!importKey(provider.get(), manifestKey, key)) return false;
    }
    return true;
}

namespace {

// A manifest is a few KiB; the caps only keep a hostile site from filling memory.
constexpr unsigned long long kManifestMaxBytes = 16ull << 20;
constexpr unsigned long long kSignatureMaxBytes = 4096;

enum class PairFetch { Fetched, Failed, SignatureUnobtainable };

// One pair of requests under the deadline of the whole load. A pair that runs out of time is a
// slow site, never a tampered one: its failure carries no "SECURITY:" mark, even for the
// signature.
PairFetch fetchManifestAndSignature(unsigned long long deadlineTick, ByteString& manifestBytes,
                                    ByteString& signature, WideString& errorText) {
    const WideString base = repositoryUrl();
    TransferLimits limits;
    limits.deadlineTick = deadlineTick;
    limits.maxBytes = kManifestMaxBytes;
    if (!downloadToMemory(base + L"/manifest.txt", manifestBytes, &errorText, limits)) {
        return PairFetch::Failed;
    }

    limits.maxBytes = kSignatureMaxBytes;
    WideString downloadError;
    if (!downloadToMemory(base + L"/manifest.txt.sig", signature, &downloadError, limits)) {
        if (downloadError == downloadTimeoutText()) {
            errorText = downloadError;
            return PairFetch::Failed;
        }
        errorText =
            securityFailure(L"не удалось загрузить подпись manifest.txt.sig. ") + downloadError;
        return PairFetch::SignatureUnobtainable;
    }
    if (manifestBytes.empty()) {
        errorText = securityFailure(L"manifest.txt пустой.");
        return PairFetch::Failed;
    }
    if (signature.empty()) {
        errorText = securityFailure(L"manifest.txt.sig пустой или не загружен.");
        return PairFetch::Failed;
    }
    return PairFetch::Fetched;
}

// Fetches pairs until one verifies, at most two under one deadline. A second pair is worth it
// when the signature could not be fetched (a reset, a failing edge) or did not verify (two
// requests can straddle a release switch on the site); only a second pair that fails too is
// taken for tampering. One retry in all, whichever the reason, so the two never multiply.
bool fetchVerifiedPair(ByteString& manifestBytes, ByteString& signature,
                       const char*& keyFingerprint, WideString& errorText) {
    const unsigned long long deadlineTick = GetTickCount64() + timeLimits().manifestMilliseconds;
    for (bool retried = false;; retried = true) {
        const wchar_t* retryLine = nullptr;
        WideString pairError;  // the caller's text changes only on failure
        switch (fetchManifestAndSignature(deadlineTick, manifestBytes, signature, pairError)) {
            case PairFetch::Failed:
                errorText = pairError;
                return false;
            case PairFetch::SignatureUnobtainable:
                retryLine =
                    L"Manifest signature could not be fetched; fetching manifest and signature "
                    L"again.";
                break;
            case PairFetch::Fetched:
                if (verifyManifestSignature(manifestBytes, signature, pairError, &keyFingerprint))
                    return true;
                retryLine =
                    L"Manifest signature did not verify; fetching manifest and signature again.";
                break;
        }
        if (retried) {
            errorText = pairError;
            return false;
        }
        logWrite(retryLine);
    }
}

}  // namespace

bool loadManifest(const WideString& packageStateDir, Manifest& manifest, WideString& errorText,
                  SignedManifest* verified) {
    ByteString manifestBytes;
    ByteString signature;
    const char* keyFingerprint = nullptr;
    if (!fetchVerifiedPair(manifestBytes, signature, keyFingerprint, errorText)) return false;
    if (!checkManifestFreshness(manifestBytes, packageStateDir, keyFingerprint, errorText)) {
        return false;
    }

    size_t skipped = 0;
    manifest = parseManifest(manifestBytes, &skipped);
    if (skipped > 0) logWrite(L"Manifest package lines skipped as invalid: " + decimal(skipped));
    for (PackageEntry& entry : manifest) {
        if (const size_t dropped = dropDuplicateListedFiles(entry, compareFileNames)) {
            logWrite(L"Manifest listed files dropped as duplicates: " + utf8ToWide(entry.name) +
                     L" / " + decimal(dropped));
        }
    }
    if (manifest.empty()) {
        errorText = securityFailure(L"manifest.txt подписан, но пустой или имеет неверный формат.");
        return false;
    }
    if (verified != nullptr) *verified = {std::move(manifestBytes), std::move(signature)};
    return true;
}

}  // namespace varnix
