#include "manifest/sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <climits>

#include "manifest/cng.h"

namespace varnix {
namespace {

constexpr DWORD kFileChunkBytes = 8192;

// An open SHA-256 provider with a hash object; the hash is destroyed before the provider.
struct Sha256Context {
    CngAlgorithm provider;
    CngHash hash;
    DWORD digestLength = 0;

    bool open() {
        if (!BCRYPT_SUCCESS(
                BCryptOpenAlgorithmProvider(provider.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
            return false;
        }
        ULONG written = 0;
        if (!BCRYPT_SUCCESS(BCryptGetProperty(provider.get(), BCRYPT_HASH_LENGTH,
                                              reinterpret_cast<PUCHAR>(&digestLength),
                                              sizeof digestLength, &written, 0))) {
            return false;
        }
        return BCRYPT_SUCCESS(
            BCryptCreateHash(provider.get(), hash.put(), nullptr, 0, nullptr, 0, 0));
    }

    bool add(const void* data, ULONG size) {
        return BCRYPT_SUCCESS(
            BCryptHashData(hash.get(), static_cast<PUCHAR>(const_cast<void*>(data)), size, 0));
    }

    ByteString finish() {
        ByteString digest(digestLength, '\0');
        const NTSTATUS status =
            BCryptFinishHash(hash.get(), reinterpret_cast<PUCHAR>(digest.data()), digestLength, 0);
        hash.reset();
        provider.reset();
        return BCRYPT_SUCCESS(status) ? digest : ByteString();
    }
};

}  // namespace

ByteString sha256File(const WideString& path) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return {};
    return sha256OpenFile(file.get());
}

ByteString sha256OpenFile(void* file) {
    Sha256Context context;
    if (!context.open()) return {};
    char chunk[kFileChunkBytes];
    DWORD read = 0;
    for (;;) {
        if (!ReadFile(file, chunk, kFileChunkBytes, &read, nullptr)) return {};
        if (read == 0) break;
        if (!context.add(chunk, read)) return {};
    }
    return toLowerHex(context.finish());
}

ByteString sha256Bytes(const ByteString& bytes) {
    Sha256Context context;
    if (!context.open()) return {};
    // One call for the whole buffer: the manifest is small. Larger buffers go in 4 GiB steps.
    for (size_t offset = 0; offset < bytes.size();) {
        const ULONG part = static_cast<ULONG>(std::min<size_t>(bytes.size() - offset, ULONG_MAX));
        if (!context.add(bytes.data() + offset, part)) return {};
        offset += part;
    }
    return context.finish();
}

}  // namespace varnix
