#include "campaign/yaml/scalar_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

#include "common/float_repr.hpp"

namespace korvo::campaign::yaml {

void append_rounded_float(std::string& out, double value) {
    if (!std::isfinite(value)) {
        append_float_repr(out, value);
        return;
    }
    // Fixed notation with the exact decimal expansion rounded half-to-even, then parsed back:
    // the same two steps as the interpreter's round(), and independent of the C locale.
    char buf[400];
    auto res =
        std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, kFloatPrecision);
    double rounded = value;
    if (res.ec == std::errc()) std::from_chars(buf, res.ptr, rounded);
    append_float_repr(out, rounded);
}

void append_base64_lines(std::string& out, const unsigned char* data, size_t n) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    constexpr size_t kLineBytes = 57; // 76 characters of output
    out.reserve(out.size() + (n + 2) / 3 * 4 + n / kLineBytes + 1);
    for (size_t line = 0; line < n; line += kLineBytes) {
        size_t end = line + kLineBytes < n ? line + kLineBytes : n;
        size_t i = line;
        for (; i + 3 <= end; i += 3) {
            unsigned v = unsigned(data[i]) << 16 | unsigned(data[i + 1]) << 8 | data[i + 2];
            out += alphabet[v >> 18];
            out += alphabet[(v >> 12) & 63];
            out += alphabet[(v >> 6) & 63];
            out += alphabet[v & 63];
        }
        if (i < end) {
            unsigned v = unsigned(data[i]) << 16;
            if (i + 1 < end) v |= unsigned(data[i + 1]) << 8;
            out += alphabet[v >> 18];
            out += alphabet[(v >> 12) & 63];
            out += i + 1 < end ? alphabet[(v >> 6) & 63] : '=';
            out += '=';
        }
        out += '\n';
    }
}

namespace {

template <typename C> void strip_lines(const C* s, Py_ssize_t n, std::string& storage) {
    storage.resize(size_t(n) * sizeof(C));
    C* out = reinterpret_cast<C*>(&storage[0]);
    Py_ssize_t w = 0;
    Py_ssize_t line = 0;
    for (Py_ssize_t i = 0; i <= n; ++i) {
        if (i < n && s[i] != '\n') continue;
        Py_ssize_t end = i;
        while (end > line && Py_UNICODE_ISSPACE(Py_UCS4(s[end - 1])))
            --end;
        std::memcpy(out + w, s + line, size_t(end - line) * sizeof(C));
        w += end - line;
        if (i < n) out[w++] = C('\n');
        line = i + 1;
    }
    storage.resize(size_t(w) * sizeof(C));
}

} // namespace

TextView strip_line_ends(const TextView& text, std::string& storage) {
    with_units(text, [&](auto* s) { strip_lines(s, text.len, storage); });
    return TextView{storage.data(), text.kind, Py_ssize_t(storage.size() / size_t(text.kind))};
}

bool has_line_feed(const TextView& text) {
    if (text.kind == PyUnicode_1BYTE_KIND)
        return std::memchr(text.data, '\n', size_t(text.len)) != nullptr;
    return with_units(text, [&](auto* s) {
        for (Py_ssize_t i = 0; i < text.len; ++i)
            if (s[i] == '\n') return true;
        return false;
    });
}

} // namespace korvo::campaign::yaml
