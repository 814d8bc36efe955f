#include "campaign/module_state.hpp"

namespace korvo::campaign {

ModuleState state;

nb::object module_global(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(state.globals, name);
    if (!value) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw nb::python_error();
    }
    return nb::borrow(value);
}

NodeKind exact_kind(PyObject* obj) {
    PyTypeObject* t = Py_TYPE(obj);
    if (t == state.section_type) return NodeKind::Section;
    if (t == state.task_type) return NodeKind::Task;
    if (t == state.plugin_type) return NodeKind::Plugin;
    if (t == state.campaign_type) return NodeKind::Campaign;
    if (t == state.base_type) return NodeKind::Base;
    return NodeKind::Other;
}

bool is_instance_of_global(PyObject* obj, PyObject* class_name) {
    nb::object cls = module_global(class_name);
    if (PyType_Check(cls.ptr())) return PyObject_TypeCheck(obj, (PyTypeObject*)cls.ptr());
    int r = PyObject_IsInstance(obj, cls.ptr());
    if (r < 0) throw nb::python_error();
    return r != 0;
}

} // namespace korvo::campaign
