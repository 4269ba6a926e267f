#pragma once
// Owners of the CNG handles the manifest's hash and signature checks open.

#include <windows.h>
#include <bcrypt.h>

#include "platform/handle.h"

namespace varnix {

struct CngAlgorithmTraits {
    using Value = BCRYPT_ALG_HANDLE;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value h) noexcept { BCryptCloseAlgorithmProvider(h, 0); }
};

struct CngHashTraits {
    using Value = BCRYPT_HASH_HANDLE;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value h) noexcept { BCryptDestroyHash(h); }
};

struct CngKeyTraits {
    using Value = BCRYPT_KEY_HANDLE;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value h) noexcept { BCryptDestroyKey(h); }
};

using CngAlgorithm = UniqueHandle<CngAlgorithmTraits>;
using CngHash = UniqueHandle<CngHashTraits>;
using CngKey = UniqueHandle<CngKeyTraits>;

}  // namespace varnix
