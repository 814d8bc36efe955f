// How every writer shows a character its output cannot carry: as the text of its code
// point, \xNN below U+0100 and \uXXXX above, so nothing is ever dropped silently. The
// writers differ only in which characters they cannot carry.
#pragma once

#include <Python.h>

namespace korvo {

// Longest escape: \uXXXX (every code point escaped lies in the Basic Multilingual Plane).
constexpr int kMaxVisibleEscape = 6;

// Characters XML 1.0 cannot hold, even as character references.
inline bool xml_cannot_carry(Py_UCS4 c) {
    if (c < 0x20) return c != 0x09 && c != 0x0a && c != 0x0d;
    if (c < 0xd800) return false;
    return c <= 0xdfff || c == 0xfffe || c == 0xffff;
}

// Writes the escape of `c` (at most kMaxVisibleEscape units) at `out`; returns the count.
template <typename Out> inline int put_visible_escape(Py_UCS4 c, Out* out) {
    static const char hex[] = "0123456789abcdef";
    out[0] = '\\';
    if (c < 0x100) {
        out[1] = 'x';
        out[2] = hex[c >> 4];
        out[3] = hex[c & 0xf];
        return 4;
    }
    out[1] = 'u';
    out[2] = hex[(c >> 12) & 0xf];
    out[3] = hex[(c >> 8) & 0xf];
    out[4] = hex[(c >> 4) & 0xf];
    out[5] = hex[c & 0xf];
    return 6;
}

// Units the escape of `c` takes.
inline int visible_escape_length(Py_UCS4 c) {
    return c < 0x100 ? 4 : 6;
}

} // namespace korvo
