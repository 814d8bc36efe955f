#include "campaign/model/parent_chain.hpp"

#include "campaign/model/interned.hpp"

namespace korvo::campaign {

namespace {

nb::object dict_item(const nb::object& dict, PyObject* key) {
    // A colliding key's __eq__ may run here and change the dict: the caller holds `dict`.
    PyObject* value = PyDict_GetItemWithError(dict.ptr(), key);
    if (!value && PyErr_Occurred()) throw nb::python_error();
    return nb::borrow(value);
}

} // namespace

nb::object parent_of(PyObject* node) {
    nb::object dict = check(PyObject_GenericGetDict(node, nullptr));
    nb::object parent = dict_item(dict, interned._parent);
    return parent ? parent : nb::none();
}

void CycleCheck::visit(PyObject* node) {
    if (mark_.ptr() == node) {
        nb::object id = readable_attr(node, interned.id);
        PyErr_Format(PyExc_ValueError, "the parent links of node %R form a cycle",
                     id ? id.ptr() : node);
        throw nb::python_error();
    }
    if (++steps_ == stride_) {
        mark_ = nb::borrow(node);
        steps_ = 0;
        stride_ *= 2;
    }
}

} // namespace korvo::campaign
