#include "campaign/journal/crc32.hpp"

namespace korvo::campaign::journal {

namespace {

// Eight tables let the loop consume eight bytes per step; records are written on the
// model's hot path.
struct Tables {
    uint32_t t[8][256];
    Tables() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][i] = c;
        }
        for (uint32_t i = 0; i < 256; ++i)
            for (int k = 1; k < 8; ++k)
                t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    }
};

const Tables tables;

} // namespace

uint32_t crc32(uint32_t seed, const char* data, size_t n) {
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    uint32_t c = ~seed;
    while (n >= 8) {
        uint32_t lo = c ^ (uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                           uint32_t(p[3]) << 24);
        uint32_t hi =
            uint32_t(p[4]) | uint32_t(p[5]) << 8 | uint32_t(p[6]) << 16 | uint32_t(p[7]) << 24;
        c = tables.t[7][lo & 0xFF] ^ tables.t[6][(lo >> 8) & 0xFF] ^
            tables.t[5][(lo >> 16) & 0xFF] ^ tables.t[4][lo >> 24] ^ tables.t[3][hi & 0xFF] ^
            tables.t[2][(hi >> 8) & 0xFF] ^ tables.t[1][(hi >> 16) & 0xFF] ^ tables.t[0][hi >> 24];
        p += 8;
        n -= 8;
    }
    while (n--)
        c = tables.t[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
    return ~c;
}

} // namespace korvo::campaign::journal
