#include "campaign/model/module_state.hpp"

#include "campaign/model/interned.hpp"

namespace korvo::campaign {

ModuleState campaign_module;

nb::object module_global(PyObject* name) {
    return module_attr(campaign_module.globals, name);
}

NodeKind exact_kind(PyObject* obj) {
    PyTypeObject* t = Py_TYPE(obj);
    if (t == campaign_module.section_type) return NodeKind::Section;
    if (t == campaign_module.task_type) return NodeKind::Task;
    if (t == campaign_module.plugin_type) return NodeKind::Plugin;
    if (t == campaign_module.campaign_type) return NodeKind::Campaign;
    if (t == campaign_module.base_type) return NodeKind::Base;
    return NodeKind::Other;
}

namespace {

PyObject* method_name(Method m) {
    switch (m) {
    case Method::RollUp:
        return interned.roll_up;
    case Method::Update:
        return interned.update;
    case Method::UpdateExtra:
        return interned.update_extra;
    }
    return nullptr;
}

PyTypeObject* type_of(NodeKind kind) {
    switch (kind) {
    case NodeKind::Base:
        return campaign_module.base_type;
    case NodeKind::Campaign:
        return campaign_module.campaign_type;
    case NodeKind::Task:
        return campaign_module.task_type;
    case NodeKind::Section:
        return campaign_module.section_type;
    case NodeKind::Plugin:
        return campaign_module.plugin_type;
    case NodeKind::Other:
        break;
    }
    return nullptr;
}

} // namespace

void remember_native_methods() {
    for (int k = 0; k < 5; ++k)
        for (int m = 0; m < 3; ++m) {
            PyObject* found = type_lookup(type_of((NodeKind)k), method_name((Method)m));
            Py_XINCREF(found);
            campaign_module.native[k][m] = found;
        }
}

NodeKind native_kind(PyObject* obj, Method m) {
    NodeKind kind = exact_kind(obj);
    if (kind == NodeKind::Other) return kind;
    PyObject* name = method_name(m);
    PyObject* now = type_lookup(Py_TYPE(obj), name);
    if (!now || now != campaign_module.native[(int)kind][(int)m] || instance_shadows(obj, name))
        return NodeKind::Other;
    return kind;
}

bool is_instance_of_global(PyObject* obj, PyObject* class_name) {
    nb::object cls = module_global(class_name);
    if (PyType_Check(cls.ptr())) return PyObject_TypeCheck(obj, (PyTypeObject*)cls.ptr());
    int r = PyObject_IsInstance(obj, cls.ptr());
    if (r < 0) throw nb::python_error();
    return r != 0;
}

} // namespace korvo::campaign
