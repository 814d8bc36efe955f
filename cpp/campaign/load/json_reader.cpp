#include "campaign/load/json_reader.hpp"

#include <cstring>
#include <string>

#include "common/gc_pause.hpp"
#include "common/signal_poll.hpp"
#include "common/utf8.hpp"

namespace korvo::campaign::load {

namespace {

class JsonReader {
  public:
    JsonReader(const char* data, size_t size) : begin_(data), p_(data), end_(data + size) {
        memo_ = check(PyDict_New());
    }

    nb::object document() {
        skip_space();
        nb::object value = any();
        skip_space();
        if (p_ != end_) fail("Extra data");
        return value;
    }

  private:
    const char* begin_;
    const char* p_;
    const char* end_;
    nb::object memo_; // one text object per distinct key, as json.loads shares them
    std::string scratch_;
    SignalPoll signals_;

    [[noreturn]] void fail(const char* what) {
        size_t line = 1;
        const char* line_start = begin_;
        for (const char* q = begin_; q < p_; ++q)
            if (*q == '\n') {
                ++line;
                line_start = q + 1;
            }
        PyErr_Format(PyExc_ValueError, "%s: line %zu column %zu (byte %zu)", what, line,
                     size_t(p_ - line_start) + 1, size_t(p_ - begin_));
        throw nb::python_error();
    }

    void skip_space() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t'))
            ++p_;
    }

    bool literal(const char* word) {
        size_t n = std::strlen(word);
        if (size_t(end_ - p_) < n || std::memcmp(p_, word, n) != 0) return false;
        p_ += n;
        return true;
    }

    nb::object any() {
        signals_.step();
        if (p_ >= end_) fail("Expecting value");
        switch (*p_) {
        case '{':
            return object();
        case '[':
            return array();
        case '"':
            return text();
        case 't':
            if (literal("true")) return nb::borrow(Py_True);
            break;
        case 'f':
            if (literal("false")) return nb::borrow(Py_False);
            break;
        case 'n':
            if (literal("null")) return nb::none();
            break;
        case 'N':
            if (literal("NaN")) return check(PyFloat_FromDouble(Py_NAN));
            break;
        case 'I':
            if (literal("Infinity")) return check(PyFloat_FromDouble(Py_HUGE_VAL));
            break;
        case '-':
            if (literal("-Infinity")) return check(PyFloat_FromDouble(-Py_HUGE_VAL));
            return number();
        default:
            if (*p_ >= '0' && *p_ <= '9') return number();
        }
        fail("Expecting value");
    }

    nb::object object() {
        RecursionGuard guard(" while decoding a JSON object");
        ++p_;
        nb::object dict = check(PyDict_New());
        skip_space();
        if (p_ < end_ && *p_ == '}') {
            ++p_;
            return dict;
        }
        while (true) {
            if (p_ >= end_ || *p_ != '"') fail("Expecting property name enclosed in double quotes");
            nb::object key = text();
            PyObject* shared = PyDict_SetDefault(memo_.ptr(), key.ptr(), key.ptr());
            if (!shared) throw nb::python_error();
            key = nb::borrow(shared);
            skip_space();
            if (p_ >= end_ || *p_ != ':') fail("Expecting ':' delimiter");
            ++p_;
            skip_space();
            nb::object value = any();
            check_status(PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()));
            skip_space();
            if (p_ < end_ && *p_ == ',') {
                ++p_;
                skip_space();
                continue;
            }
            if (p_ < end_ && *p_ == '}') {
                ++p_;
                return dict;
            }
            fail("Expecting ',' delimiter");
        }
    }

    nb::object array() {
        RecursionGuard guard(" while decoding a JSON array");
        ++p_;
        nb::object list = check(PyList_New(0));
        skip_space();
        if (p_ < end_ && *p_ == ']') {
            ++p_;
            return list;
        }
        while (true) {
            skip_space();
            nb::object value = any();
            check_status(PyList_Append(list.ptr(), value.ptr()));
            skip_space();
            if (p_ < end_ && *p_ == ',') {
                ++p_;
                continue;
            }
            if (p_ < end_ && *p_ == ']') {
                ++p_;
                return list;
            }
            fail("Expecting ',' delimiter");
        }
    }

    // As the standard decoder: an escaped pair of surrogates is one character, a lone one is
    // kept, and raw bytes decode with "surrogatepass".
    nb::object text() {
        ++p_;
        const char* start = p_;
        while (p_ < end_ && *p_ != '"' && *p_ != '\\' && (unsigned char)*p_ >= 0x20)
            ++p_;
        if (p_ < end_ && *p_ == '"') return decoded(start, size_t(p_++ - start));
        scratch_.assign(start, size_t(p_ - start));
        while (true) {
            if (p_ >= end_) fail("Unterminated string starting at");
            unsigned char c = (unsigned char)*p_;
            if (c == '"') {
                ++p_;
                return decoded(scratch_.data(), scratch_.size());
            }
            if (c < 0x20) fail("Invalid control character at");
            ++p_;
            if (c != '\\') {
                scratch_.push_back(char(c));
                continue;
            }
            if (p_ >= end_) fail("Unterminated string starting at");
            char e = *p_++;
            switch (e) {
            case '"':
            case '\\':
            case '/':
                scratch_.push_back(e);
                break;
            case 'b':
                scratch_.push_back('\b');
                break;
            case 'f':
                scratch_.push_back('\f');
                break;
            case 'n':
                scratch_.push_back('\n');
                break;
            case 'r':
                scratch_.push_back('\r');
                break;
            case 't':
                scratch_.push_back('\t');
                break;
            case 'u': {
                uint32_t code = hex4();
                if (code >= 0xD800 && code <= 0xDBFF && end_ - p_ >= 6 && p_[0] == '\\' &&
                    p_[1] == 'u') {
                    const char* back = p_;
                    p_ += 2;
                    uint32_t low = hex4();
                    if (low >= 0xDC00 && low <= 0xDFFF)
                        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                    else
                        p_ = back;
                }
                append_utf8(scratch_, code);
                break;
            }
            default:
                --p_;
                fail("Invalid \\escape");
            }
        }
    }

    uint32_t hex4() {
        if (end_ - p_ < 4) fail("Invalid \\uXXXX escape");
        uint32_t code = 0;
        for (int i = 0; i < 4; ++i) {
            char c = p_[i];
            int d = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
            if (d < 0) fail("Invalid \\uXXXX escape");
            code = code << 4 | uint32_t(d);
        }
        p_ += 4;
        return code;
    }

    static nb::object decoded(const char* bytes, size_t n) {
        return check(PyUnicode_DecodeUTF8(bytes, Py_ssize_t(n), "surrogatepass"));
    }

    // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?, read as int() or float() reads it.
    nb::object number() {
        const char* start = p_;
        auto digits = [&] {
            const char* from = p_;
            while (p_ < end_ && *p_ >= '0' && *p_ <= '9')
                ++p_;
            return p_ > from;
        };
        if (*p_ == '-') ++p_;
        if (p_ < end_ && *p_ == '0')
            ++p_;
        else if (!digits()) {
            p_ = start;
            fail("Expecting value");
        }
        bool real = false;
        if (p_ + 1 < end_ && *p_ == '.' && p_[1] >= '0' && p_[1] <= '9') {
            ++p_;
            digits();
            real = true;
        }
        if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
            const char* mark = p_++;
            if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
            if (digits())
                real = true;
            else
                p_ = mark; // not an exponent: what follows is extra
        }
        size_t length = size_t(p_ - start);
        if (!real && length <= 18) { // fits a long long whatever its digits
            const char* q = start + (*start == '-');
            long long n = 0;
            while (q < p_)
                n = n * 10 + (*q++ - '0');
            return check(PyLong_FromLongLong(*start == '-' ? -n : n));
        }
        char small[64];
        std::string large;
        const char* terminated = small;
        if (length < sizeof small) {
            std::memcpy(small, start, length);
            small[length] = '\0';
        } else {
            large.assign(start, length);
            terminated = large.c_str();
        }
        if (real) {
            double d = PyOS_string_to_double(terminated, nullptr, nullptr);
            if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
            return check(PyFloat_FromDouble(d));
        }
        return check(PyLong_FromString(terminated, nullptr, 10));
    }
};

// json.loads reads bytes in UTF-16 or UTF-32, or behind a UTF-8 byte-order mark, too.
bool plain_utf8(const char* data, size_t size) {
    if (size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0) return false;
    if (size >= 2 && (data[0] == 0 || data[1] == 0)) return false;
    if (size >= 2 && ((unsigned char)data[0] == 0xFF || (unsigned char)data[0] == 0xFE))
        return false;
    return true;
}

} // namespace

nb::object read_json(const char* data, size_t size) {
    if (!plain_utf8(data, size)) return nb::object();
    GcPause pause; // nothing read can be cyclic garbage before the document is whole
    JsonReader reader(data, size);
    return reader.document();
}

} // namespace korvo::campaign::load
