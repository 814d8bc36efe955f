#include "campaign/merge_trees/node_copy.hpp"

#include "campaign/model/interned.hpp"
#include "campaign/model/module_state.hpp"
#include "common/py_compat.hpp"
#include "common/signal_poll.hpp"

namespace korvo::campaign::merge_trees {

namespace {

PyObject* list_name(PyObject* node) {
    return PyObject_TypeCheck(node, campaign_module.campaign_type) ? interned.tasks
                                                                   : interned.sections;
}

} // namespace

nb::object child_list(PyObject* node) {
    nb::object list = optional_attr(node, list_name(node));
    if (list && PyList_Check(list.ptr())) return list;
    return nb::object();
}

nb::object copy_node(PyObject* node, PyObject* parent) {
    if (!nb::type_check(nb::handle((PyObject*)Py_TYPE(node))))
        raise(PyExc_TypeError, "only report nodes can be copied");
    PyObject** own = instance_dict_slot(node);
    nb::object source = own && *own ? nb::borrow(*own) : check(PyDict_New());
    nb::object attrs = check(PyDict_Copy(source.ptr()));
    check_status(PyDict_SetItem(attrs.ptr(), interned._parent, parent));
    for (PyObject* name : {interned.details, interned.extra}) {
        PyObject* held = PyDict_GetItemWithError(attrs.ptr(), name);
        if (!held) {
            if (PyErr_Occurred()) throw nb::python_error();
            continue;
        }
        nb::object value = nb::borrow(held);
        if (PyList_CheckExact(value.ptr()))
            value = check(PyList_GetSlice(value.ptr(), 0, PY_SSIZE_T_MAX));
        else if (PyDict_CheckExact(value.ptr()))
            value = check(PyDict_Copy(value.ptr()));
        check_status(PyDict_SetItem(attrs.ptr(), name, value.ptr()));
    }
    nb::object empty = check(PyList_New(0));
    check_status(PyDict_SetItem(attrs.ptr(), list_name(node), empty.ptr()));

    nb::object copy = nb::inst_alloc(nb::handle((PyObject*)Py_TYPE(node)));
    nb::inst_mark_ready(copy);
    check_status(PyObject_GenericSetDict(copy.ptr(), attrs.ptr(), nullptr));
    return copy;
}

nb::object copy_subtree(PyObject* node, PyObject* parent) {
    RecursionGuard guard(" while copying a report tree");
    // Each copy costs a microsecond or two: Ctrl-C is seen within a few thousand.
    static thread_local SignalPoll signals;
    signals.step();
    nb::object copy = copy_node(node, parent);
    nb::object children = child_list(node);
    if (!children) return copy;
    nb::object into = child_list(copy.ptr());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(children.ptr()); ++i) {
        nb::object child = nb::borrow(PyList_GET_ITEM(children.ptr(), i));
        nb::object item = is_node(child.ptr()) ? copy_subtree(child.ptr(), copy.ptr()) : child;
        check_status(PyList_Append(into.ptr(), item.ptr()));
    }
    return copy;
}

} // namespace korvo::campaign::merge_trees
