// UTF-8 encoding of one code point, the one copy every writer and reader of ours uses.
#pragma once

#include <cstdint>
#include <string>

namespace korvo {

// Appends code point `c` (below 0x110000) as UTF-8. Surrogates are encoded as any other code
// point (as Python's "surrogatepass" does), so lone surrogates survive a round trip.
inline void append_utf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out.push_back(char(c));
        return;
    }
    if (c < 0x800) {
        out.push_back(char(0xC0 | (c >> 6)));
    } else if (c < 0x10000) {
        out.push_back(char(0xE0 | (c >> 12)));
        out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
    } else {
        out.push_back(char(0xF0 | (c >> 18)));
        out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
    }
    out.push_back(char(0x80 | (c & 0x3F)));
}

} // namespace korvo
