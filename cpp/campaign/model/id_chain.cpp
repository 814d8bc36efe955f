#include "campaign/model/id_chain.hpp"

#include "campaign/model/interned.hpp"
#include "campaign/model/module_state.hpp"

namespace korvo::campaign {

namespace {

nb::object held_dict(PyObject* node) {
    PyObject** dict_ptr = instance_dict_slot(node);
    return dict_ptr && *dict_ptr ? nb::borrow(*dict_ptr) : nb::object();
}

nb::object item(const nb::object& dict, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(dict.ptr(), key);
    if (!v && PyErr_Occurred()) throw nb::python_error();
    return nb::borrow(v);
}

bool top_level(PyObject* parent) {
    return !parent || parent == Py_None ||
           PyObject_TypeCheck(parent, campaign_module.campaign_type);
}

} // namespace

bool IdChain::walk(PyObject* node, PyObject* stop_at) {
    nb::object at = nb::borrow(node);
    while (true) {
        if (exact_kind(at.ptr()) == NodeKind::Other || size_ == kMaxLength) return false;
        nb::object dict = held_dict(at.ptr());
        if (!dict) return false;
        nb::object id = item(dict, interned.id);
        if (!id) return false;
        text_ = text_ && PyUnicode_CheckExact(id.ptr());
        ids_[size_++] = id.release().ptr();
        nb::object parent = item(dict, interned._parent);
        if (top_level(parent.ptr())) return true;
        if (parent.ptr() == stop_at) {
            reached_stop_ = true;
            return true;
        }
        at = std::move(parent);
    }
}

bool quick_paths_apply() {
    PyObject* cls = PyDict_GetItemWithError(campaign_module.globals, interned.Campaign);
    if (!cls && PyErr_Occurred()) throw nb::python_error();
    return cls == reinterpret_cast<PyObject*>(campaign_module.campaign_type);
}

} // namespace korvo::campaign
