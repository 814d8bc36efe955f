#include "campaign/walk/node_dict.hpp"

#include "campaign/model/interned.hpp"
#include "campaign/walk/node_access.hpp"

namespace korvo::campaign {

namespace {

// A read that fails leaves the attribute out; running out of memory or stack, or an
// interrupt, is not a failed read and propagates.
nb::object read_or_absent(PyObject* node, PyObject* name) {
    try {
        return read_listed(node, name);
    } catch (nb::python_error& e) {
        if (!is_ordinary_failure(e)) throw;
        return nb::object();
    }
}

void replace_by_ids(PyObject* out, PyObject* key) {
    PyObject* children = PyDict_GetItemWithError(out, key);
    if (!children) {
        if (PyErr_Occurred()) throw nb::python_error();
        return;
    }
    nb::object ids = check(PyList_New(0));
    nb::object it = check(PyObject_GetIter(children));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        nb::object child = nb::steal(raw);
        check_status(PyList_Append(ids.ptr(), get_attr(child.ptr(), interned.id).ptr()));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    check_status(PyDict_SetItem(out, key, ids.ptr()));
}

} // namespace

nb::object node_to_dict(PyObject* node) {
    nb::object out = check(PyDict_New());
    nb::object it = check(PyObject_GetIter(arg_order(node).ptr()));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        nb::object name = nb::steal(raw);
        nb::object value = read_or_absent(node, name.ptr());
        if (value) check_status(PyDict_SetItem(out.ptr(), name.ptr(), value.ptr()));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    replace_by_ids(out.ptr(), interned.tasks);
    replace_by_ids(out.ptr(), interned.sections);
    check_status(
        PyDict_SetItem(out.ptr(), interned.seq_num, get_attr(node, interned.seq_num).ptr()));
    nb::object logfile = optional_attr(node, interned.logfile);
    if (logfile) check_status(PyDict_SetItem(out.ptr(), interned.logfile, logfile.ptr()));
    return out;
}

} // namespace korvo::campaign
