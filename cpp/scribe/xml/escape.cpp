#include "scribe/xml/escape.hpp"

#include <cstdio>

#include "common/iteration.hpp"
#include "common/visible_escape.hpp"

namespace korvo::scribe {

namespace {

// Rewritten: what XML 1.0 cannot carry (lone surrogates, which UTF-8 cannot encode either,
// among them), and ESC, the lead-in of terminal colour sequences.
inline bool is_rewritten(Py_UCS4 c) {
    return xml_cannot_carry(c) || c == 0x1b;
}

struct ScanResult {
    Py_ssize_t growth = 0; // characters the escapes add
    Py_UCS4 max_kept = 0;  // widest character copied unchanged
};

template <typename Char> ScanResult scan(const Char* data, Py_ssize_t n) {
    ScanResult r;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = data[i];
        if (is_rewritten(c))
            r.growth += visible_escape_length(c) - 1;
        else if (c > r.max_kept)
            r.max_kept = c;
    }
    return r;
}

template <typename In, typename Out> void rewrite(const In* src, Py_ssize_t n, Out* dst) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = src[i];
        if (is_rewritten(c))
            dst += put_visible_escape(c, dst);
        else
            *dst++ = static_cast<Out>(c);
    }
}

template <typename In> PyObject* clean(PyObject* text, const In* data, Py_ssize_t n) {
    ScanResult r = scan(data, n);
    if (r.growth == 0) {
        // Unchanged: the same object for an exact str, a plain copy for a subclass.
        return PyUnicode_Substring(text, 0, n);
    }
    Py_UCS4 maxchar = r.max_kept < 0x7f ? 0x7f : r.max_kept;
    PyObject* out = PyUnicode_New(n + r.growth, maxchar);
    if (!out) return nullptr;
    switch (PyUnicode_KIND(out)) {
    case PyUnicode_1BYTE_KIND:
        rewrite(data, n, PyUnicode_1BYTE_DATA(out));
        break;
    case PyUnicode_2BYTE_KIND:
        rewrite(data, n, PyUnicode_2BYTE_DATA(out));
        break;
    default:
        rewrite(data, n, PyUnicode_4BYTE_DATA(out));
        break;
    }
    return out;
}

// The argument is not text: let the pattern's own substitution report it, so the
// TypeError reads exactly as the regular-expression engine words it.
[[noreturn]] void raise_not_text(PyObject* value) {
    nb::object empty = check(PyUnicode_FromStringAndSize("", 0));
    nb::object r = check(PyObject_CallMethod(escape_pattern(), "sub", "OO", empty.ptr(), value));
    // Only reachable if the substitution accepted a non-text value.
    raise(PyExc_TypeError, "expected string or bytes-like object");
}

nb::object escape_list(PyObject* data) {
    RecursionGuard guard(" while escaping a list");
    nb::object out = check(PyList_New(0));
    if (PyList_CheckExact(data)) {
        // Index walk with a fresh length check each step, as the list iterator does.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data); ++i) {
            nb::object item = nb::borrow(PyList_GET_ITEM(data, i));
            nb::object v = escape_data(item.ptr());
            check_status(PyList_Append(out.ptr(), v.ptr()));
        }
        return out;
    }
    nb::object it = check(PyObject_GetIter(data));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        nb::object item = nb::steal(raw);
        nb::object v = escape_data(item.ptr());
        check_status(PyList_Append(out.ptr(), v.ptr()));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return out;
}

nb::object escape_tuple(PyObject* data) {
    RecursionGuard guard(" while escaping a tuple");
    if (PyTuple_CheckExact(data)) {
        Py_ssize_t n = PyTuple_GET_SIZE(data);
        nb::object out = check(PyTuple_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            nb::object v = escape_data(PyTuple_GET_ITEM(data, i));
            PyTuple_SET_ITEM(out.ptr(), i, v.release().ptr());
        }
        return out;
    }
    // A subtype is walked through its own iteration, then frozen into a plain tuple.
    nb::object items = escape_list(data);
    return check(PyList_AsTuple(items.ptr()));
}

void put_escaped(PyObject* out, PyObject* key, PyObject* value) {
    nb::object k = escape_data(key);
    nb::object v = escape_data(value);
    check_status(PyDict_SetItem(out, k.ptr(), v.ptr()));
}

nb::object escape_dict(PyObject* data) {
    RecursionGuard guard(" while escaping a dict");
    nb::object out = check(PyDict_New());
    if (PyDict_CheckExact(data)) {
        Py_ssize_t size = PyDict_GET_SIZE(data);
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(data, &pos, &k, &v)) {
            // Escaping may run foreign code (a subtype's items()) that mutates this dict.
            nb::object key = nb::borrow(k), value = nb::borrow(v);
            put_escaped(out.ptr(), key.ptr(), value.ptr());
            if (PyDict_GET_SIZE(data) != size)
                raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        }
        return out;
    }
    nb::object items = check(PyObject_CallMethod(data, "items", nullptr));
    nb::object it = check(PyObject_GetIter(items.ptr()));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        nb::object item = nb::steal(raw);
        auto [key, value] = unpack_pair(item.ptr());
        put_escaped(out.ptr(), key.ptr(), value.ptr());
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return out;
}

} // namespace

PyObject* escape_pattern() {
    // One character at a time, each one is_rewritten() names. Kept alive
    // for the process.
    static PyObject* pattern = [] {
        static const Py_UCS4 text[] = {'[',  0x00, '-',  0x08,   0x0b,   0x0c,
                                       0x0e, '-',  0x1f, 0xfffe, 0xffff, ']'};
        nb::object re = check(PyImport_ImportModule("re"));
        nb::object source = check(
            PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text, sizeof text / sizeof text[0]));
        return check(PyObject_CallMethod(re.ptr(), "compile", "O", source.ptr())).release().ptr();
    }();
    return pattern;
}

nb::object escape(PyObject* text) {
    if (!PyUnicode_Check(text)) raise_not_text(text);
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        return check(clean(text, PyUnicode_1BYTE_DATA(text), n));
    case PyUnicode_2BYTE_KIND:
        return check(clean(text, PyUnicode_2BYTE_DATA(text), n));
    default:
        return check(clean(text, PyUnicode_4BYTE_DATA(text), n));
    }
}

nb::object escape_data(PyObject* data) {
    if (PyUnicode_Check(data)) return escape(data);
    if (PyList_Check(data)) return escape_list(data);
    if (PyDict_Check(data)) return escape_dict(data);
    if (PyTuple_Check(data)) return escape_tuple(data);
    return nb::borrow(data);
}

nb::object escape_repl(PyObject* match) {
    nb::object group = check(PyObject_CallMethod(match, "group", "i", 0));
    unsigned long code;
    if (PyUnicode_Check(group.ptr()) && PyUnicode_GET_LENGTH(group.ptr()) == 1) {
        code = PyUnicode_READ_CHAR(group.ptr(), 0);
    } else {
        // Anything but one character (a bytes match, say) goes through ord() itself.
        nb::object builtins = check(PyImport_ImportModule("builtins"));
        nb::object ord = get_attr(builtins.ptr(), nb::str("ord").ptr());
        nb::object n = check(PyObject_CallFunctionObjArgs(ord.ptr(), group.ptr(), nullptr));
        code = PyLong_AsUnsignedLong(n.ptr());
        if (code == static_cast<unsigned long>(-1) && PyErr_Occurred()) throw nb::python_error();
    }
    char buf[16];
    // Beyond the Basic Multilingual Plane (never matched by the pattern), Python's own form.
    int len = code > 0xffff ? std::snprintf(buf, sizeof buf, "\\U%08lx", code)
                            : put_visible_escape(Py_UCS4(code), buf);
    return check(PyUnicode_FromStringAndSize(buf, len));
}

} // namespace korvo::scribe
