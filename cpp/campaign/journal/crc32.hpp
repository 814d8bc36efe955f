// CRC-32 (the IEEE polynomial, as zlib.crc32 computes it), so any tool can check a record.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvo::campaign::journal {

// The CRC of `n` bytes at `data` continued from `seed` (0 to start): crc32(seed, a + b) ==
// crc32(crc32(seed, a), b), as with zlib.crc32(data, seed).
uint32_t crc32(uint32_t seed, const char* data, size_t n);

} // namespace korvo::campaign::journal
