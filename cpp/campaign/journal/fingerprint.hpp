// A 64-bit fingerprint of a short text, for telling whether a value is written exactly as
// last time. Eight bytes a step: several times cheaper than the records' checksum, and a
// wider one, so that a changed value taken for an unchanged one is out of the question.
#pragma once

#include <cstdint>
#include <cstring>

namespace korvo::campaign::journal {

inline uint64_t fingerprint(const char* data, size_t n) {
    constexpr uint64_t k1 = 0x87C37B91114253D5ull, k2 = 0x4CF5AD432745937Full;
    uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
    auto mix = [&](uint64_t w) {
        w *= k1;
        w = (w << 31) | (w >> 33);
        h ^= w * k2;
        h = ((h << 27) | (h >> 37)) * 5 + 0x52DCE729;
    };
    for (; n >= 8; data += 8, n -= 8) {
        uint64_t w;
        std::memcpy(&w, data, 8);
        mix(w);
    }
    if (n) {
        uint64_t w = 0;
        std::memcpy(&w, data, n);
        mix(w);
    }
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    return h ^ (h >> 33);
}

} // namespace korvo::campaign::journal
