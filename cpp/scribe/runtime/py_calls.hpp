// Calls into the legacy library and the host's XML libraries: attribute paths,
// item stores and calls with positional and named arguments (vectorcall).
#pragma once

#include <Python.h>

#include <initializer_list>

#include "common/iteration.hpp"
#include "common/py_support.hpp"

namespace korvo::scribe {

// fn(*args[:nargs], **dict(zip(kwnames, args[nargs:])))
inline nb::object vcall(PyObject* fn, PyObject* const* args, size_t nargs,
                        PyObject* kwnames = nullptr) {
    return check(PyObject_Vectorcall(fn, args, nargs, kwnames));
}

// fn(positional..., name=value...), the names given by the tuple `kwnames`.
inline nb::object call(PyObject* fn, std::initializer_list<PyObject*> args,
                       PyObject* kwnames = nullptr) {
    size_t nkw = kwnames ? (size_t)PyTuple_GET_SIZE(kwnames) : 0;
    return vcall(fn, args.begin(), args.size() - nkw, kwnames);
}

// obj.name(positional..., name=value...)
inline nb::object call_method(PyObject* obj, PyObject* name,
                              std::initializer_list<PyObject*> args = {},
                              PyObject* kwnames = nullptr) {
    nb::object method = get_attr(obj, name);
    return call(method.ptr(), args, kwnames);
}

// obj.a.b...: reads along a path of attribute interned.
inline nb::object get_path(PyObject* obj, std::initializer_list<PyObject*> names) {
    nb::object cur = nb::borrow(obj);
    for (PyObject* name : names)
        cur = get_attr(cur.ptr(), name);
    return cur;
}

inline void set_item(PyObject* mapping, PyObject* key, PyObject* value) {
    check_status(PyObject_SetItem(mapping, key, value));
}

inline nb::object get_item(PyObject* mapping, PyObject* key) {
    return check(PyObject_GetItem(mapping, key));
}

inline bool contains(PyObject* container, PyObject* key) {
    int r = PySequence_Contains(container, key);
    if (r < 0) throw nb::python_error();
    return r != 0;
}

inline bool equals(PyObject* a, PyObject* b) {
    int r = PyObject_RichCompareBool(a, b, Py_EQ);
    if (r < 0) throw nb::python_error();
    return r != 0;
}

inline nb::object text_form(PyObject* obj) {
    return check(PyObject_Str(obj));
}

} // namespace korvo::scribe
