// Text access shared by the YAML writer: a view over Python's compact string storage (or
// over native buffers of the same three widths), read one code point at a time.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace korvo::campaign::yaml {

// Code points are read as 32-bit values; this marks "past the end" in the writers' loops.
constexpr Py_UCS4 kEnd = 0xFFFFFFFFu;

struct TextView {
    const void* data = "";
    int kind = PyUnicode_1BYTE_KIND; // 1, 2 or 4 bytes per code point
    Py_ssize_t len = 0;

    static TextView of(PyObject* str) {
        return TextView{PyUnicode_DATA(str), int(PyUnicode_KIND(str)), PyUnicode_GET_LENGTH(str)};
    }
    static TextView ascii(const char* s, size_t n) {
        return TextView{s, PyUnicode_1BYTE_KIND, Py_ssize_t(n)};
    }
};

// Calls f(pointer-to-code-units) with the view's storage typed by its width.
template <typename F> decltype(auto) with_units(const TextView& t, F&& f) {
    switch (t.kind) {
    case PyUnicode_1BYTE_KIND:
        return f(static_cast<const Py_UCS1*>(t.data));
    case PyUnicode_2BYTE_KIND:
        return f(static_cast<const Py_UCS2*>(t.data));
    default:
        return f(static_cast<const Py_UCS4*>(t.data));
    }
}

inline bool is_break(Py_UCS4 ch) {
    return ch == '\n' || ch == 0x85 || ch == 0x2028 || ch == 0x2029;
}

// The characters after which (or before which) an indicator counts as standing alone.
inline bool is_blank_or_break_or_nul(Py_UCS4 ch) {
    return ch == 0 || ch == ' ' || ch == '\t' || ch == '\r' || is_break(ch);
}

} // namespace korvo::campaign::yaml
