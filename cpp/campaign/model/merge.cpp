#include "campaign/model/merge.hpp"

#include "campaign/model/interned.hpp"
#include "common/iteration.hpp"
#include "common/py_support.hpp"

namespace korvo::campaign {

namespace {

PyObject* mapping_abc() {
    static PyObject* abc = [] {
        nb::object module = check(PyImport_ImportModule("collections.abc"));
        return check(PyObject_GetAttrString(module.ptr(), "Mapping")).release().ptr();
    }();
    return abc;
}

// a.get(k): the current entry or None.
nb::object current_entry(PyObject* target, PyObject* key) {
    if (PyDict_CheckExact(target)) {
        PyObject* v = PyDict_GetItemWithError(target, key);
        if (!v && PyErr_Occurred()) throw nb::python_error();
        return v ? nb::borrow(v) : nb::none();
    }
    return check(PyObject_CallMethodObjArgs(target, interned.get, key, nullptr));
}

void store_entry(PyObject* target, PyObject* key, PyObject* value) {
    if (PyDict_CheckExact(target)) return check_status(PyDict_SetItem(target, key, value));
    check_status(PyObject_SetItem(target, key, value));
}

void merge_pair(PyObject* target, PyObject* key, PyObject* value) {
    nb::object current = current_entry(target, key);
    if (is_mapping(current.ptr()) && is_mapping(value)) {
        recursive_update(current.ptr(), value);
    } else if (PyList_Check(current.ptr()) && PyList_Check(value)) {
        Py_ssize_t end = PyList_GET_SIZE(current.ptr());
        check_status(PyList_SetSlice(current.ptr(), end, end, value));
    } else {
        store_entry(target, key, value);
    }
}

} // namespace

bool is_mapping(PyObject* obj) {
    if (PyDict_Check(obj)) return true;
    // Fast answers for the common scalar and sequence types.
    if (obj == Py_None || PyUnicode_CheckExact(obj) || PyLong_CheckExact(obj) ||
        PyFloat_CheckExact(obj) || PyList_CheckExact(obj) || PyTuple_CheckExact(obj) ||
        PyBool_Check(obj))
        return false;
    int r = PyObject_IsInstance(obj, mapping_abc());
    check_status(r);
    return r != 0;
}

void recursive_update(PyObject* target, PyObject* source) {
    RecursionGuard guard(" in recursive_update");
    if (PyDict_CheckExact(source)) {
        Py_ssize_t pos = 0, size = PyDict_GET_SIZE(source);
        PyObject *k, *v;
        while (PyDict_Next(source, &pos, &k, &v)) {
            nb::object key = nb::borrow(k), value = nb::borrow(v);
            merge_pair(target, key.ptr(), value.ptr());
            if (PyDict_GET_SIZE(source) != size)
                raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        }
        return;
    }
    if (!is_mapping(source)) {
        PyErr_Format(PyExc_TypeError, "recursive_update() source must be a mapping, not %.200s",
                     Py_TYPE(source)->tp_name);
        throw nb::python_error();
    }
    for_each_pair(source, [&](PyObject* key, PyObject* value) { merge_pair(target, key, value); });
}

} // namespace korvo::campaign
