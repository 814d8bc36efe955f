// Walking Python iterables and mappings from C++ the way a `for` loop would.
#pragma once

#include <utility>

#include "common/py_support.hpp"

namespace korvo {

// for item in iterable: f(item). Lists are walked by index, seeing items appended meanwhile.
template <typename F> void for_each_item(PyObject* iterable, F&& f) {
    if (PyList_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) {
            nb::object item = nb::borrow(PyList_GET_ITEM(iterable, i));
            f(item.ptr());
        }
        return;
    }
    nb::object it = check(PyObject_GetIter(iterable));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        nb::object item = nb::steal(raw);
        f(item.ptr());
    }
    if (PyErr_Occurred()) throw nb::python_error();
}

// `key, value = item`, with the interpreter's own errors for anything but two values.
inline std::pair<nb::object, nb::object> unpack_pair(PyObject* item) {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2)
        return {nb::borrow(PyTuple_GET_ITEM(item, 0)), nb::borrow(PyTuple_GET_ITEM(item, 1))};
    PyObject* raw_it = PyObject_GetIter(item);
    if (!raw_it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(item)->tp_name);
        }
        throw nb::python_error();
    }
    nb::object it = nb::steal(raw_it);
    nb::object parts[2];
    for (int i = 0; i < 2; ++i) {
        PyObject* p = PyIter_Next(it.ptr());
        if (!p) {
            if (PyErr_Occurred()) throw nb::python_error();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw nb::python_error();
        }
        parts[i] = nb::steal(p);
    }
    if (PyObject* extra = PyIter_Next(it.ptr())) {
        Py_DECREF(extra);
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return {std::move(parts[0]), std::move(parts[1])};
}

// for key, value in mapping.items(): f(key, value)
template <typename F> void for_each_pair(PyObject* mapping, F&& f) {
    static PyObject* items_name = intern("items");
    nb::object items = check(PyObject_CallMethodNoArgs(mapping, items_name));
    for_each_item(items.ptr(), [&](PyObject* item) {
        auto [key, value] = unpack_pair(item);
        f(key.ptr(), value.ptr());
    });
}

} // namespace korvo
