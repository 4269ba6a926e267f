#include "packages/crc32.h"

#include <array>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VARNIX_CRC32_FOLDING 1
#endif

namespace varnix {
namespace {

using Tables = std::array<std::array<uint32_t, 256>, 8>;

// tables[k][b]: the CRC of byte b followed by k zero bytes.
constexpr Tables makeTables() {
    Tables tables{};
    for (uint32_t byte = 0; byte < 256; ++byte) {
        uint32_t crc = byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        tables[0][byte] = crc;
    }
    for (uint32_t byte = 0; byte < 256; ++byte) {
        for (size_t k = 1; k < 8; ++k)
            tables[k][byte] = (tables[k - 1][byte] >> 8) ^ tables[0][tables[k - 1][byte] & 0xFF];
    }
    return tables;
}

constexpr Tables kTables = makeTables();

uint32_t load32(const unsigned char* at) {
    return at[0] | at[1] << 8 | at[2] << 16 | static_cast<uint32_t>(at[3]) << 24;
}

// Eight bytes a step through the tables; `crc` and the result are the inverted register.
uint32_t sliceBy8(uint32_t crc, const unsigned char* bytes, size_t length) {
    for (; length >= 8; bytes += 8, length -= 8) {
        const uint32_t low = load32(bytes) ^ crc;
        const uint32_t high = load32(bytes + 4);
        crc = kTables[7][low & 0xFF] ^ kTables[6][(low >> 8) & 0xFF] ^
              kTables[5][(low >> 16) & 0xFF] ^ kTables[4][low >> 24] ^ kTables[3][high & 0xFF] ^
              kTables[2][(high >> 8) & 0xFF] ^ kTables[1][(high >> 16) & 0xFF] ^
              kTables[0][high >> 24];
    }
    for (; length > 0; ++bytes, --length)
        crc = (crc >> 8) ^ kTables[0][(crc ^ *bytes) & 0xFF];
    return crc;
}

#ifdef VARNIX_CRC32_FOLDING
// Carry-less multiplication folds 64 bytes a step into four 128-bit lanes, then reduces them to
// the 32-bit register (Barrett reduction): several times faster than the tables. The constants
// are powers of x modulo the reflected polynomial, as in Intel's paper "Fast CRC Computation for
// Generic Polynomials Using PCLMULQDQ Instruction". `length` is a multiple of 16, at least 64.
#define VARNIX_FOLDING_TARGET __attribute__((target("pclmul,sse2")))

VARNIX_FOLDING_TARGET __m128i load(const unsigned char* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// a times k (the low halves and the high halves multiplied apart), plus b.
VARNIX_FOLDING_TARGET __m128i foldInto(__m128i a, __m128i k, __m128i b) {
    return _mm_xor_si128(
        _mm_xor_si128(_mm_clmulepi64_si128(a, k, 0x00), _mm_clmulepi64_si128(a, k, 0x11)), b);
}

VARNIX_FOLDING_TARGET uint32_t fold(uint32_t crc, const unsigned char* bytes, size_t length) {
    const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
    const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
    const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
    const __m128i polynomial = _mm_set_epi64x(0x01f7011641, 0x01db710641);
    const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);
    __m128i x1 = _mm_xor_si128(load(bytes), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x2 = load(bytes + 16), x3 = load(bytes + 32), x4 = load(bytes + 48);
    for (bytes += 64, length -= 64; length >= 64; bytes += 64, length -= 64) {
        x1 = foldInto(x1, k1k2, load(bytes));
        x2 = foldInto(x2, k1k2, load(bytes + 16));
        x3 = foldInto(x3, k1k2, load(bytes + 32));
        x4 = foldInto(x4, k1k2, load(bytes + 48));
    }
    x1 = foldInto(foldInto(foldInto(x1, k3k4, x2), k3k4, x3), k3k4, x4);
    for (; length >= 16; bytes += 16, length -= 16)
        x1 = foldInto(x1, k3k4, load(bytes));
    // 128 bits to 64, then to 32 by Barrett reduction.
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k3k4, 0x10));
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00),
                       _mm_srli_si128(x1, 4));
    __m128i reduced = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), polynomial, 0x10);
    reduced = _mm_clmulepi64_si128(_mm_and_si128(reduced, low32), polynomial, 0x00);
    return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(_mm_xor_si128(x1, reduced), 4)));
}

bool canFold() {
    static const bool supported = [] {
        __builtin_cpu_init();  // may run before the run-time's own detection has
        return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
    }();
    return supported;
}
#endif

}  // namespace

uint32_t updateCrc32(uint32_t crc, const void* data, size_t length) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    crc = ~crc;
#ifdef VARNIX_CRC32_FOLDING
    if (length >= 64 && canFold()) {
        const size_t folded = length & ~size_t{15};
        crc = fold(crc, bytes, folded);
        bytes += folded;
        length -= folded;
    }
#endif
    return ~sliceBy8(crc, bytes, length);
}

}  // namespace varnix
