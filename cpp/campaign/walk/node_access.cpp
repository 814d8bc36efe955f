#include "campaign/walk/node_access.hpp"

#include "campaign/model/interned.hpp"
#include "campaign/model/node.hpp"

namespace korvo::campaign {

nb::object arg_order(PyObject* node) {
    // Our exact classes keep a plain list: with no descriptor of that name on the class,
    // getattr finds the instance entry, else the class's value.
    PyTypeObject* type = Py_TYPE(node);
    if (exact_kind(node) != NodeKind::Other && type->tp_getattro == PyObject_GenericGetAttr) {
        PyObject* cls = _PyType_Lookup(type, interned._ARG_ORDER);
        if (!cls || !Py_TYPE(cls)->tp_descr_get) {
            PyObject** dict_ptr = _PyObject_GetDictPtr(node);
            if (dict_ptr && *dict_ptr) {
                PyObject* own = PyDict_GetItemWithError(*dict_ptr, interned._ARG_ORDER);
                if (own) return nb::borrow(own);
                if (PyErr_Occurred()) throw nb::python_error();
            }
            if (cls) return nb::borrow(cls);
        }
    }
    return get_attr(node, interned._ARG_ORDER);
}

nb::object read_listed(PyObject* node, PyObject* name) {
    if (exact_kind(node) == NodeKind::Other) return optional_attr(node, name);
    if (name == interned.fullid) return fullid(node);
    if (name == interned.idlist) return idlist(node);
    PyObject** dict_ptr = _PyObject_GetDictPtr(node);
    if (dict_ptr && *dict_ptr && PyUnicode_CheckExact(name)) {
        PyObject* value = PyDict_GetItemWithError(*dict_ptr, name);
        if (value) return nb::borrow(value);
        if (PyErr_Occurred()) throw nb::python_error();
        // Not set on the node: absent, unless its class provides the name. Asking the
        // class directly spares getattr the AttributeError it would build and drop.
        PyTypeObject* type = Py_TYPE(node);
        if (type->tp_getattro == PyObject_GenericGetAttr && !_PyType_Lookup(type, name))
            return nb::object();
    }
    return optional_attr(node, name);
}

namespace {

// `item == value` for an item of VALUE_IGNORE, with the comparisons whose outcome is
// known skipped. None, lists and dicts compare equal only to their own kinds, so for a
// value of another type only the value's own (reflected) equality can say true, and
// one with the default object equality never does.
bool equals_ignored_item(PyObject* item, PyObject* value) {
    if (item == value) return true;
    PyTypeObject* vt = Py_TYPE(value);
    bool known = item == Py_None || PyList_CheckExact(item) || PyDict_CheckExact(item);
    if (!known || PyList_Check(value) || PyDict_Check(value)) {
        int r = PyObject_RichCompareBool(item, value, Py_EQ);
        check_status(r);
        return r != 0;
    }
    richcmpfunc f = vt->tp_richcompare;
    if (!f || f == PyBaseObject_Type.tp_richcompare) return false;
    nb::object res = check(f(value, item, Py_EQ));
    if (res.ptr() == Py_NotImplemented) return false;
    return truthy(res.ptr());
}

} // namespace

bool is_ignored_value(PyObject* value) {
    if (value == Py_None) return true;
    if (PyList_CheckExact(value)) return PyList_GET_SIZE(value) == 0;
    if (PyDict_Check(value)) return PyDict_GET_SIZE(value) == 0;
    if (PyUnicode_CheckExact(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) ||
        PyBool_Check(value) || PyTuple_CheckExact(value))
        return false;
    // Anything else decides by its own equality with the ignored values, compared in the
    // list's order as `value in VALUE_IGNORE` does.
    nb::object ignore = module_global(interned.VALUE_IGNORE);
    if (!PyList_CheckExact(ignore.ptr())) {
        int r = PySequence_Contains(ignore.ptr(), value);
        check_status(r);
        return r != 0;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ignore.ptr()); ++i) {
        nb::object item = nb::borrow(PyList_GET_ITEM(ignore.ptr(), i));
        if (equals_ignored_item(item.ptr(), value)) return true;
    }
    return false;
}

} // namespace korvo::campaign
