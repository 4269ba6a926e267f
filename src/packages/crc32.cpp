#include "packages/crc32.h"

#include <array>

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

}  // namespace

uint32_t updateCrc32(uint32_t crc, const void* data, size_t length) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    crc = ~crc;
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
    return ~crc;
}

}  // namespace varnix
