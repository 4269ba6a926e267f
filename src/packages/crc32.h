#pragma once
// CRC-32 as ZIP stores it (the reflected polynomial 0xEDB88320): by carry-less multiplication
// where the processor has it (256 MiB in well under a fifth of a second), else eight bytes a step
// through tables.

#include <cstddef>
#include <cstdint>

namespace varnix {

// Continues `crc` (0 for the first piece) over the next `length` bytes.
uint32_t updateCrc32(uint32_t crc, const void* data, size_t length);

}  // namespace varnix
