#include "campaign/walk/node_access.hpp"

#include "campaign/model/interned.hpp"
#include "campaign/model/node.hpp"
#include "common/iso_datetime.hpp"

namespace korvo::campaign {

nb::object held_instance_dict(PyObject* node) {
    PyObject** dict_ptr = instance_dict_slot(node);
    return dict_ptr && *dict_ptr ? nb::borrow(*dict_ptr) : nb::object();
}

nb::object arg_order(PyObject* node) {
    // Our exact classes keep a plain list: with no descriptor of that name on the class,
    // getattr finds the instance entry, else the class's value.
    PyTypeObject* type = Py_TYPE(node);
    if (exact_kind(node) != NodeKind::Other && type->tp_getattro == PyObject_GenericGetAttr) {
        PyObject* cls = type_lookup(type, interned._ARG_ORDER);
        if (!cls || !Py_TYPE(cls)->tp_descr_get) {
            // Held while looked up: a colliding key's __eq__ may replace either.
            nb::object held_cls = nb::borrow(cls);
            if (nb::object dict = held_instance_dict(node)) {
                PyObject* own = PyDict_GetItemWithError(dict.ptr(), interned._ARG_ORDER);
                if (own) return nb::borrow(own);
                if (PyErr_Occurred()) throw nb::python_error();
            }
            if (held_cls) return held_cls;
        }
    }
    return get_attr(node, interned._ARG_ORDER);
}

nb::object read_listed(PyObject* node, PyObject* name) {
    if (exact_kind(node) == NodeKind::Other) return optional_attr(node, name);
    if (name == interned.fullid) return fullid(node);
    if (name == interned.idlist) return idlist(node);
    nb::object dict = held_instance_dict(node);
    if (dict && PyUnicode_CheckExact(name)) {
        // The dict is held: a colliding key's __eq__ may replace the node's __dict__.
        PyObject* value = PyDict_GetItemWithError(dict.ptr(), name);
        if (value) return nb::borrow(value);
        if (PyErr_Occurred()) throw nb::python_error();
        // Not set on the node: absent, unless its class provides the name. Asking the
        // class directly spares getattr the AttributeError it would build and drop.
        PyTypeObject* type = Py_TYPE(node);
        if (type->tp_getattro == PyObject_GenericGetAttr && !type_lookup(type, name))
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
    // An exact date-time's equality with None, a list or a dict is always false.
    if (is_exact_datetime(value)) return false;
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
