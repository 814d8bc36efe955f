#include "campaign/node_access.hpp"

#include "campaign/names.hpp"
#include "campaign/node.hpp"

namespace korvo::campaign {

nb::object arg_order(PyObject* node) {
    return get_attr(node, names._ARG_ORDER);
}

nb::object read_listed(PyObject* node, PyObject* name) {
    if (exact_kind(node) == NodeKind::Other) return optional_attr(node, name);
    if (name == names.fullid) return fullid(node);
    if (name == names.idlist) return idlist(node);
    PyObject** dict_ptr = _PyObject_GetDictPtr(node);
    if (dict_ptr && *dict_ptr && PyUnicode_CheckExact(name)) {
        PyObject* value = PyDict_GetItemWithError(*dict_ptr, name);
        if (value) return nb::borrow(value);
        if (PyErr_Occurred()) throw nb::python_error();
        // Not in the instance dict: may still be a class-level attribute.
    }
    return optional_attr(node, name);
}

bool is_ignored_value(PyObject* value) {
    if (value == Py_None) return true;
    if (PyList_CheckExact(value)) return PyList_GET_SIZE(value) == 0;
    if (PyDict_Check(value)) return PyDict_GET_SIZE(value) == 0;
    if (PyUnicode_CheckExact(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) ||
        PyBool_Check(value) || PyTuple_CheckExact(value))
        return false;
    // Anything else decides by its own equality with the three ignored values.
    nb::object ignore = module_global(names.VALUE_IGNORE);
    int r = PySequence_Contains(ignore.ptr(), value);
    check_status(r);
    return r != 0;
}

} // namespace korvo::campaign
