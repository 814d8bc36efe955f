#include "campaign/journal/json_cursor.hpp"

#include <cstdlib>
#include <cstring>

#include "common/utf8.hpp"

namespace korvo::campaign::journal {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

nb::object decode_text(std::string_view bytes) {
    return check(PyUnicode_DecodeUTF8(bytes.data(), Py_ssize_t(bytes.size()), "surrogatepass"));
}

void JsonCursor::expect(std::string_view text) {
    if (size_t(end_ - p_) < text.size() || std::memcmp(p_, text.data(), text.size()) != 0)
        throw Malformed("expected " + std::string(text));
    p_ += text.size();
}

std::string_view JsonCursor::raw_text(std::string& scratch) {
    expect('"');
    const char* start = p_;
    while (p_ < end_ && *p_ != '"' && *p_ != '\\')
        ++p_;
    if (p_ >= end_) throw Malformed("string ends early");
    if (*p_ == '"') return std::string_view(start, size_t(p_++ - start));
    scratch.assign(start, size_t(p_ - start));
    while (true) {
        if (p_ >= end_) throw Malformed("string ends early");
        char c = *p_++;
        if (c == '"') return scratch;
        if (c != '\\') {
            scratch.push_back(c);
            continue;
        }
        if (p_ >= end_) throw Malformed("string ends early");
        switch (char e = *p_++) {
        case 'n':
            scratch.push_back('\n');
            break;
        case 't':
            scratch.push_back('\t');
            break;
        case 'r':
            scratch.push_back('\r');
            break;
        case 'b':
            scratch.push_back('\b');
            break;
        case 'f':
            scratch.push_back('\f');
            break;
        case 'u': {
            if (end_ - p_ < 4) throw Malformed("bad escape");
            uint32_t c4 = 0;
            for (int i = 0; i < 4; ++i) {
                int d = hex_digit(p_[i]);
                if (d < 0 && p_[i] >= 'A' && p_[i] <= 'F') d = p_[i] - 'A' + 10;
                if (d < 0) throw Malformed("bad escape");
                c4 = c4 << 4 | uint32_t(d);
            }
            p_ += 4;
            // each \u is one code point: the writer escapes only lone surrogates this way
            append_utf8(scratch, c4);
            break;
        }
        default:
            scratch.push_back(e);
        }
    }
}

nb::object JsonCursor::text() {
    std::string scratch;
    return decode_text(raw_text(scratch));
}

long long JsonCursor::integer() {
    bool negative = accept('-');
    if (p_ >= end_ || *p_ < '0' || *p_ > '9') throw Malformed("expected a number");
    long long n = 0;
    while (p_ < end_ && *p_ >= '0' && *p_ <= '9') {
        n = n * 10 + (*p_++ - '0');
        if (n > (1LL << 53)) throw Malformed("number too large");
    }
    return negative ? -n : n;
}

nb::object JsonCursor::number() {
    const char* start = p_;
    bool real = false;
    while (p_ < end_ && *p_ && std::strchr("-+0123456789.eE", *p_)) {
        if (*p_ == '.' || *p_ == 'e' || *p_ == 'E') real = true;
        ++p_;
    }
    std::string digits(start, size_t(p_ - start));
    if (digits.empty()) throw Malformed("unexpected character");
    if (real) {
        char* stop = nullptr;
        double d = PyOS_string_to_double(digits.c_str(), &stop, nullptr);
        if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
        if (*stop) throw Malformed("bad number");
        return check(PyFloat_FromDouble(d));
    }
    if (digits.size() <= 18) {
        char* stop = nullptr;
        long long n = std::strtoll(digits.c_str(), &stop, 10);
        if (*stop) throw Malformed("bad number");
        return check(PyLong_FromLongLong(n));
    }
    return check(PyLong_FromString(digits.c_str(), nullptr, 10));
}

} // namespace korvo::campaign::journal
