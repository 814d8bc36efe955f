#include "campaign/walk/path_stack.hpp"

#include "campaign/model/id_chain.hpp"
#include "campaign/model/id_text.hpp"

namespace korvo::campaign {

PathStack::PathStack() : quick_(quick_paths_apply()) {}

PathStack::~PathStack() {
    while (!frames_.empty())
        pop();
}

void PathStack::push(PyObject* node) {
    Py_INCREF(node);
    size_t own = ids_.size();
    frames_.push_back(Frame{node, own, own, own, false, false, nullptr});
    if (!quick_) return;
    // A child of the node written just before extends that node's path; anything else walks
    // up as the computed attributes do.
    const Frame* up = frames_.size() > 1 ? &frames_[frames_.size() - 2] : nullptr;
    bool extends = up && up->valid && up->end == own;
    IdChain chain;
    if (!chain.walk(node, extends ? up->node : nullptr)) return;
    size_t begin = own;
    bool text = chain.text();
    if (chain.reached_stop()) {
        begin = up->begin;
        text = text && up->text;
    }
    for (size_t i = chain.size(); i-- > 0;) {
        Py_INCREF(chain.ids()[i]);
        ids_.push_back(chain.ids()[i]);
    }
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
