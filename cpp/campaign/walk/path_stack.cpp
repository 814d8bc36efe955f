#include "campaign/walk/path_stack.hpp"

#include "campaign/model/id_text.hpp"

#include "campaign/model/module_state.hpp"
#include "campaign/model/interned.hpp"

namespace korvo::campaign {

namespace {

constexpr int kMaxChain = 64;

PyObject* own_dict(PyObject* node) {
    PyObject** dict_ptr = _PyObject_GetDictPtr(node);
    return dict_ptr ? *dict_ptr : nullptr;
}

// The item of an exact dict, borrowed; null when absent. Lookups by exact str keys of
// our own dicts do not fail.
PyObject* item(PyObject* dict, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(dict, key);
    if (!v && PyErr_Occurred()) throw nb::python_error();
    return v;
}

bool top_level(PyObject* parent) {
    return !parent || parent == Py_None || PyObject_TypeCheck(parent, campaign_module.campaign_type);
}

} // namespace

PathStack::PathStack() {
    // Without the module's own Campaign, the top of a path is not known here.
    PyObject* cls = PyDict_GetItemWithError(campaign_module.globals, interned.Campaign);
    if (!cls && PyErr_Occurred()) throw nb::python_error();
    quick_ = cls == reinterpret_cast<PyObject*>(campaign_module.campaign_type);
}

PathStack::~PathStack() {
    while (!frames_.empty())
        pop();
}

void PathStack::push(PyObject* node) {
    Py_INCREF(node);
    size_t own = ids_.size();
    frames_.push_back(Frame{node, own, own, own, false, false, nullptr});
    if (!quick_ || exact_kind(node) == NodeKind::Other) return;
    PyObject* dict = own_dict(node);
    if (!dict) return;
    PyObject* id = item(dict, interned.id);
    if (!id) return;
    PyObject* parent = item(dict, interned._parent);
    bool text = PyUnicode_CheckExact(id);
    size_t begin = own;
    if (!top_level(parent)) {
        const Frame* up = frames_.size() > 1 ? &frames_[frames_.size() - 2] : nullptr;
        if (up && up->node == parent && up->valid && up->end == own) {
            begin = up->begin;
            text = text && up->text;
        } else {
            // Walk up as the computed attributes do, over our own exact nodes only.
            PyObject* chain[kMaxChain];
            int n = 0;
            PyObject* at = parent;
            while (true) {
                if (exact_kind(at) == NodeKind::Other || n == kMaxChain) return;
                PyObject* d = own_dict(at);
                if (!d) return;
                PyObject* up_id = item(d, interned.id);
                if (!up_id) return;
                chain[n++] = up_id;
                text = text && PyUnicode_CheckExact(up_id);
                PyObject* next = item(d, interned._parent);
                if (top_level(next)) break;
                at = next;
            }
            for (int i = n - 1; i >= 0; --i) {
                Py_INCREF(chain[i]);
                ids_.push_back(chain[i]);
            }
        }
    }
    Py_INCREF(id);
    ids_.push_back(id);
    Frame& f = frames_.back();
    f.begin = begin;
    f.end = ids_.size();
    f.valid = true;
    f.text = text;
}

void PathStack::pop() {
    Frame& f = frames_.back();
    while (ids_.size() > f.own) {
        Py_DECREF(ids_.back());
        ids_.pop_back();
    }
    Py_XDECREF(f.fullid);
    Py_DECREF(f.node);
    frames_.pop_back();
}

PathStack::Scope::Scope(PathStack& stack, PyObject* node) : s_(stack) {
    s_.push(node);
    index_ = s_.frames_.size() - 1;
}

PathStack::Scope::~Scope() {
    s_.pop();
}

nb::object PathStack::Scope::fullid() {
    Frame& f = frame();
    if (!f.valid || !f.text) return nb::object();
    if (f.fullid) return nb::borrow(f.fullid);
    nb::object out = join_text_ids(ids(), count());
    f.fullid = out.inc_ref().ptr();
    return out;
}

} // namespace korvo::campaign
