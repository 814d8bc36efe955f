#include "campaign/json/writer.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>

#include "campaign/model/interned.hpp"
#include "common/float_repr.hpp"

namespace korvo::campaign {

namespace {

const char kHex[] = "0123456789abcdef";

// Printable ASCII other than the quote and the backslash passes unescaped.
constexpr bool plain_char(uint32_t c) {
    return c >= 0x20 && c <= 0x7e && c != '"' && c != '\\';
}

struct PlainTable {
    bool plain[256];
    constexpr PlainTable() : plain() {
        for (uint32_t c = 0; c < 256; ++c)
            plain[c] = plain_char(c);
    }
};
constexpr PlainTable kPlain;

void append_u16(AsciiBuffer& out, uint32_t unit) {
    char buf[6] = {'\\',
                   'u',
                   kHex[(unit >> 12) & 0xf],
                   kHex[(unit >> 8) & 0xf],
                   kHex[(unit >> 4) & 0xf],
                   kHex[unit & 0xf]};
    out.append(buf, 6);
}

void append_escape(AsciiBuffer& out, uint32_t c) {
    switch (c) {
    case '\\':
        out.append("\\\\", 2);
        return;
    case '"':
        out.append("\\\"", 2);
        return;
    case '\b':
        out.append("\\b", 2);
        return;
    case '\f':
        out.append("\\f", 2);
        return;
    case '\n':
        out.append("\\n", 2);
        return;
    case '\r':
        out.append("\\r", 2);
        return;
    case '\t':
        out.append("\\t", 2);
        return;
    default:
        break;
    }
    if (c >= 0x10000) {
        uint32_t v = c - 0x10000;
        append_u16(out, 0xd800 | ((v >> 10) & 0x3ff));
        append_u16(out, 0xdc00 | (v & 0x3ff));
    } else {
        append_u16(out, c);
    }
}

template <typename Unit> void append_escaped(AsciiBuffer& out, const Unit* data, Py_ssize_t size) {
    Py_ssize_t i = 0;
    while (i < size) {
        Py_ssize_t run = i;
        while (run < size && data[run] < 0x80 && kPlain.plain[data[run]])
            ++run;
        if (run > i) {
            if constexpr (sizeof(Unit) == 1) {
                out.append(reinterpret_cast<const char*>(data + i), size_t(run - i));
            } else {
                char* dst = out.reserve(size_t(run - i));
                for (Py_ssize_t k = i; k < run; ++k)
                    *dst++ = char(data[k]);
                out.commit(size_t(run - i));
            }
        }
        if (run == size) break;
        append_escape(out, uint32_t(data[run]));
        i = run + 1;
    }
}

void append_ascii_str(AsciiBuffer& out, PyObject* text) {
    // Reprs of numbers are compact ASCII strings.
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) throw nb::python_error();
    out.append(data, size_t(size));
}

} // namespace

JsonWriter::~JsonWriter() {
    for (PyObject* obj : stash_)
        Py_DECREF(obj);
    for (PyObject* obj : markers_)
        Py_DECREF(obj);
}

JsonWriter::Marker::Marker(JsonWriter& w, PyObject* obj) : w_(w) {
    for (PyObject* marked : w.markers_)
        if (marked == obj) raise(PyExc_ValueError, "Circular reference detected");
    Py_INCREF(obj);
    w.markers_.push_back(obj);
}

JsonWriter::Marker::~Marker() {
    Py_DECREF(w_.markers_.back());
    w_.markers_.pop_back();
}

JsonWriter::Stash::~Stash() {
    while (w_.stash_.size() > base_) {
        PyObject* obj = w_.stash_.back();
        w_.stash_.pop_back();
        Py_DECREF(obj);
    }
}

void JsonWriter::value(PyObject* obj) {
    signals_.step();
    if (PyUnicode_Check(obj)) return string(obj);
    if (obj == Py_None) return raw("null", 4);
    if (obj == Py_True) return raw("true", 4);
    if (obj == Py_False) return raw("false", 5);
    if (PyLong_Check(obj)) return integer(obj);
    if (PyFloat_Check(obj)) return real(obj, false);
    if (PyList_Check(obj) || PyTuple_Check(obj)) {
        Depth level(*this);
        return list(obj);
    }
    if (PyDict_Check(obj)) {
        Depth level(*this);
        return dict(obj);
    }
    Depth level(*this);
    substitute(obj);
}

void JsonWriter::string_body(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0) throw nb::python_error();
#endif
    Py_ssize_t size = PyUnicode_GET_LENGTH(text);
    const void* data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        append_escaped(out_, static_cast<const Py_UCS1*>(data), size);
        break;
    case PyUnicode_2BYTE_KIND:
        append_escaped(out_, static_cast<const Py_UCS2*>(data), size);
        break;
    default:
        append_escaped(out_, static_cast<const Py_UCS4*>(data), size);
        break;
    }
}

void JsonWriter::integer(PyObject* obj) {
    // Subclasses (IntEnum members among them) are written by int's own repr.
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow == 0) {
        if (v == -1 && PyErr_Occurred()) throw nb::python_error();
        char buf[24];
        auto res = std::to_chars(buf, buf + sizeof buf, v);
        out_.append(buf, size_t(res.ptr - buf));
        return;
    }
    append_ascii_str(out_, check(PyLong_Type.tp_repr(obj)).ptr());
}

void JsonWriter::real(PyObject* obj, bool as_key) {
    double v = PyFloat_AS_DOUBLE(obj);
    if (as_key) out_.push_back('"');
    if (std::isnan(v)) {
        out_.append("NaN", 3);
    } else if (std::isinf(v)) {
        if (v > 0)
            out_.append("Infinity", 8);
        else
            out_.append("-Infinity", 9);
    } else {
        scratch_.clear();
        append_float_repr(scratch_, v);
        out_.append(scratch_.data(), scratch_.size());
    }
    if (as_key) out_.push_back('"');
}

void JsonWriter::list(PyObject* obj) {
    // Subclasses are read through their iterator, exact lists and tuples directly.
    nb::object seq = check(PySequence_Fast(obj, "_iterencode_list needs a sequence"));
    if (PySequence_Fast_GET_SIZE(seq.ptr()) == 0) return raw("[]", 2);
    Marker mark(*this, obj);
    out_.push_back('[');
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.ptr()); ++i) {
        if (i) out_.append(", ", 2);
        nb::object item = nb::borrow(PySequence_Fast_GET_ITEM(seq.ptr(), i));
        value(item.ptr());
    }
    out_.push_back(']');
}

void JsonWriter::key(PyObject* k) {
    if (PyUnicode_Check(k)) return string(k);
    if (PyFloat_Check(k)) return real(k, true);
    if (k == Py_True) return raw("\"true\"", 6);
    if (k == Py_False) return raw("\"false\"", 7);
    if (k == Py_None) return raw("\"null\"", 6);
    if (PyLong_Check(k)) {
        out_.push_back('"');
        integer(k);
        out_.push_back('"');
        return;
    }
    PyErr_Format(PyExc_TypeError, "keys must be str, int, float, bool or None, not %.100s",
                 Py_TYPE(k)->tp_name);
    throw nb::python_error();
}

void JsonWriter::pairs(const Stash& items) {
    out_.push_back('{');
    for (size_t i = 0; i + 1 < items.size(); i += 2) {
        if (i) out_.append(", ", 2);
        key(items[i]);
        out_.append(": ", 2);
        value(items[i + 1]);
    }
    out_.push_back('}');
}

namespace {

// True when a dict subclass lists its entries with dict's own items().
bool native_items(PyObject* obj) {
    // Found through the type's lookup: a builtin type's tp_dict may be empty (3.12 on).
    static PyObject* dict_items = [] {
        PyObject* d = type_lookup(&PyDict_Type, interned.items);
        if (!d) throw std::runtime_error("dict has no items()");
        return d;
    }();
    if (type_lookup(Py_TYPE(obj), interned.items) != dict_items) return false;
    // An instance attribute would shadow the method for items() too.
    return !instance_shadows(obj, interned.items);
}

} // namespace

void JsonWriter::dict(PyObject* obj) {
    if (PyDict_GET_SIZE(obj) == 0) return raw("{}", 2);
    Marker mark(*this, obj);
    if (PyDict_CheckExact(obj) || native_items(obj)) {
        // A snapshot of the entries, as items() would give.
        Stash items(*this);
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(obj, &pos, &k, &v)) {
            Py_INCREF(k);
            items.push(k);
            Py_INCREF(v);
            items.push(v);
        }
        return pairs(items);
    }
    nb::object items = check(PyMapping_Items(obj));
    out_.push_back('{');
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.ptr(), i);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2)
            raise(PyExc_ValueError, "items must return 2-tuples");
        if (i) out_.append(", ", 2);
        nb::object hold = nb::borrow(item);
        key(PyTuple_GET_ITEM(item, 0));
        out_.append(": ", 2);
        value(PyTuple_GET_ITEM(item, 1));
    }
    out_.push_back('}');
}

void JsonWriter::substitute(PyObject* obj) {
    Marker mark(*this, obj);
    not_serialisable(obj);
}

void JsonWriter::not_serialisable(PyObject* obj) {
    // The standard hook names o.__class__.__name__.
    nb::object cls = check(PyObject_GetAttrString(obj, "__class__"));
    nb::object name = check(PyObject_GetAttrString(cls.ptr(), "__name__"));
    nb::object format_spec = check(PyUnicode_FromString(""));
    nb::object text = check(PyObject_Format(name.ptr(), format_spec.ptr()));
    PyErr_Format(PyExc_TypeError, "Object of type %U is not JSON serializable", text.ptr());
    throw nb::python_error();
}

} // namespace korvo::campaign
