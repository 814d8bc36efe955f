#include "campaign/html/data_writer.hpp"

#include <charconv>
#include <cstring>

#include "campaign/json/dumper.hpp"

namespace korvo::campaign::html {

void DataWriter::integer(long long v) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    raw(buf, size_t(res.ptr - buf));
}

void DataWriter::text(PyObject* obj) {
    if (PyUnicode_Check(obj)) return string(obj);
    nb::object s = check(PyObject_Str(obj));
    string(s.ptr());
}

void DataWriter::byte_string(const char* data, size_t size) {
    static const char hex[] = "0123456789abcdef";
    raw('"');
    size_t i = 0;
    while (i < size) {
        size_t run = i;
        while (run < size) {
            unsigned char c = static_cast<unsigned char>(data[run]);
            if (c < 0x20 || c > 0x7e || c == '"' || c == '\\' || c == '<') break;
            ++run;
        }
        if (run > i) raw(data + i, run - i);
        if (run == size) break;
        unsigned char c = static_cast<unsigned char>(data[run]);
        if (c == '\n') {
            raw("\\n", 2);
        } else if (c == '"' || c == '\\') {
            char esc[2] = {'\\', char(c)};
            raw(esc, 2);
        } else {
            char esc[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xf]};
            raw(esc, 6);
        }
        i = run + 1;
    }
    raw('"');
}

void DataWriter::append(const nb::object& ascii_text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(ascii_text.ptr(), &size);
    if (!data) throw nb::python_error();
    raw(data, size_t(size));
}

nb::object DataWriter::finish_for_script() {
    nb::object text = finish();
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) throw nb::python_error();
    size_t count = 0;
    for (const char* p = data;
         (p = static_cast<const char*>(std::memchr(p, '<', size_t(data + size - p)))) != nullptr;
         ++p)
        ++count;
    if (count == 0) return text;
    nb::object out = check(PyUnicode_New(size + Py_ssize_t(count) * 5, 127));
    char* dst = static_cast<char*>(PyUnicode_DATA(out.ptr()));
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (data[i] == '<') {
            std::memcpy(dst, "\\u003c", 6);
            dst += 6;
        } else {
            *dst++ = data[i];
        }
    }
    return out;
}

void DataWriter::substitute(PyObject* obj) {
    Marker mark(*this, obj);
    nb::object sub = json_substitute(obj);
    if (sub && truthy(sub.ptr())) return value(sub.ptr());
    nb::object shown = check(PyObject_Repr(obj));
    string(shown.ptr());
}

} // namespace korvo::campaign::html
