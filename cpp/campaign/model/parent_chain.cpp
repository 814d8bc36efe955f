#include "campaign/model/parent_chain.hpp"

#include <algorithm>

#include "campaign/model/interned.hpp"
#include "campaign/model/module_state.hpp"

namespace korvo::campaign {

namespace {

// Longer chains take the general walk; trees are rarely deeper.
constexpr size_t kMaxExactChain = 64;

nb::object dict_item(const nb::object& dict, PyObject* key) {
    // A colliding key's __eq__ may run here and change the dict: the caller holds `dict`.
    PyObject* value = PyDict_GetItemWithError(dict.ptr(), key);
    if (!value && PyErr_Occurred()) throw nb::python_error();
    return nb::borrow(value);
}

nb::object node_dict(PyObject* node) {
    PyObject** slot = compat::instance_dict_slot(node);
    return nb::borrow(slot ? *slot : nullptr);
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

bool exact_id_chain(PyObject* node, std::vector<nb::object>& ids, bool& all_text) {
    ids.clear();
    all_text = true;
    // Only the module's own Campaign class is known to end a path without asking Python.
    nb::object campaign_cls = module_global(interned.Campaign);
    if (campaign_cls.ptr() != reinterpret_cast<PyObject*>(campaign_module.campaign_type))
        return false;
    nb::object at = nb::borrow(node);
    while (true) {
        if (exact_kind(at.ptr()) == NodeKind::Other || ids.size() == kMaxExactChain) return false;
        nb::object dict = node_dict(at.ptr());
        if (!dict) return false;
        nb::object id = dict_item(dict, interned.id);
        if (!id) return false;
        all_text = all_text && PyUnicode_CheckExact(id.ptr());
        ids.push_back(std::move(id));
        nb::object parent = dict_item(dict, interned._parent);
        if (!parent || parent.is_none() ||
            PyObject_TypeCheck(parent.ptr(), campaign_module.campaign_type))
            break;
        at = std::move(parent);
    }
    std::reverse(ids.begin(), ids.end());
    return true;
}

} // namespace korvo::campaign
