// Walking Python iterables and mappings from C++ the way a `for` loop would.
#pragma once

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

// for key, value in mapping.items(): f(key, value)
template <typename F> void for_each_pair(PyObject* mapping, F&& f) {
    static PyObject* items_name = intern("items");
    nb::object items = check(PyObject_CallMethodNoArgs(mapping, items_name));
    for_each_item(items.ptr(), [&](PyObject* pair) {
        if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2) {
            f(PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1));
            return;
        }
        nb::object seq = check(PySequence_Fast(pair, "cannot unpack non-iterable object"));
        if (PySequence_Fast_GET_SIZE(seq.ptr()) != 2)
            raise(PyExc_ValueError, "expected a (key, value) pair");
        f(PySequence_Fast_GET_ITEM(seq.ptr(), 0), PySequence_Fast_GET_ITEM(seq.ptr(), 1));
    });
}

} // namespace korvo
