#include "campaign/json/rules.hpp"

#include "campaign/model/module_state.hpp"
#include "common/iso_datetime.hpp"

namespace korvo::campaign {

namespace {

bool instance_of(PyObject* obj, PyObject* cls) {
    if (PyType_Check(cls)) return PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(cls));
    int r = PyObject_IsInstance(obj, cls);
    if (r < 0) throw nb::python_error();
    return r != 0;
}

bool is_error(PyObject* obj) {
    return PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(PyExc_Exception));
}

} // namespace

Rule classify(PyObject* obj, PyObject* result_cls, PyObject* counter_cls) {
    if (is_node(obj)) return Rule::Node;
    if (instance_of(obj, result_cls)) return Rule::Result;
    if (instance_of(obj, counter_cls)) return Rule::Counter;
    if (is_datetime(obj)) return Rule::DateTime;
    if (is_error(obj)) return Rule::Error;
    return Rule::None;
}

nb::object counter_mapping(PyObject* counter) {
    nb::object data = get_attr(counter, interned.data);
    nb::object sub = check(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyDict_Type),
                                                        data.ptr(), nullptr));
    nb::object total = get_attr(counter, interned.total);
    check_status(PyDict_SetItem(sub.ptr(), interned.total, total.ptr()));
    nb::object rate = get_attr(counter, interned.success_rate);
    check_status(PyDict_SetItem(sub.ptr(), interned.success_rate, rate.ptr()));
    return sub;
}

nb::object error_text(PyObject* error) {
    return check(PyObject_Str(error));
}

} // namespace korvo::campaign
