#include "campaign/walk/path_stack.hpp"

#include "campaign/model/id_text.hpp"
#include "campaign/model/interned.hpp"
#include "campaign/model/module_state.hpp"
#include "campaign/walk/node_access.hpp"

namespace korvo::campaign {

namespace {

constexpr int kMaxChain = 64;

// The item of a node's dict as a strong reference; null when absent. Looking it up may run
// a colliding key's __eq__, which may change the dict: nothing borrowed outlives a lookup.
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
    nb::object dict = held_instance_dict(node);
    if (!dict) return;
    nb::object id = item(dict, interned.id);
    if (!id) return;
    nb::object parent = item(dict, interned._parent);
    bool text = PyUnicode_CheckExact(id.ptr());
    size_t begin = own;
    if (!top_level(parent.ptr())) {
        const Frame* up = frames_.size() > 1 ? &frames_[frames_.size() - 2] : nullptr;
        if (up && up->node == parent.ptr() && up->valid && up->end == own) {
            begin = up->begin;
            text = text && up->text;
        } else {
            // Walk up as the computed attributes do, over our own exact nodes only.
            std::vector<nb::object> chain;
            nb::object at = parent;
            while (true) {
                if (exact_kind(at.ptr()) == NodeKind::Other || chain.size() == kMaxChain) return;
                nb::object d = held_instance_dict(at.ptr());
                if (!d) return;
                nb::object up_id = item(d, interned.id);
                if (!up_id) return;
                text = text && PyUnicode_CheckExact(up_id.ptr());
                chain.push_back(std::move(up_id));
                nb::object next = item(d, interned._parent);
                if (top_level(next.ptr())) break;
                at = std::move(next);
            }
            for (size_t i = chain.size(); i-- > 0;)
                ids_.push_back(chain[i].release().ptr());
        }
    }
    ids_.push_back(id.release().ptr());
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
