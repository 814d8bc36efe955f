#include "campaign/journal/recovery_abort.hpp"

#include <datetime.h>

#include <vector>

#include "campaign/journal/pointer_map.hpp"
#include "campaign/model/interned.hpp"
#include "campaign/model/log_files.hpp"
#include "campaign/model/module_state.hpp"
#include "campaign/model/parent_chain.hpp"
#include "common/py_support.hpp"
#include "common/signal_poll.hpp"

namespace korvo::campaign::journal {

namespace {

// The latest naive and the latest aware date-time recorded on a node and below it (the two
// never compare, so each start is measured against its own kind).
struct Latest {
    nb::object naive;
    nb::object aware;
};

bool is_aware(PyObject* datetime) {
    auto* dt = reinterpret_cast<PyDateTime_DateTime*>(datetime);
    return dt->hastzinfo && dt->tzinfo != Py_None;
}

// `into` := the later of `into` and `moment`; moments that do not compare are left out.
void keep_later(nb::object& into, PyObject* moment) {
    if (!into) {
        into = nb::borrow(moment);
        return;
    }
    int later = PyObject_RichCompareBool(moment, into.ptr(), Py_GT);
    if (later < 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
        PyErr_Clear();
    } else if (later) {
        into = nb::borrow(moment);
    }
}

void add_moment(Latest& latest, PyObject* moment) {
    if (!moment || !PyDateTime_Check(moment)) return;
    keep_later(is_aware(moment) ? latest.aware : latest.naive, moment);
}

// The node's child list: `tasks` where it has one, else `sections`; null when not a list.
nb::object children_of(PyObject* node) {
    nb::object children = readable_attr(node, interned.tasks);
    if (!children || children.is_none()) children = readable_attr(node, interned.sections);
    if (!children || !PyList_Check(children.ptr())) return nb::object();
    return children;
}

// The latest moments below every node reachable from `roots`, each node walked once, in
// one depth-first pass without recursion; an edge back to a node still being walked (a
// cycle) adds nothing.
class MomentWalk {
  public:
    const Latest& of(PyObject* root) {
        walk(root);
        return found_[*index_.find(root)];
    }

  private:
    struct Frame {
        nb::object node;
        nb::object children;
        Py_ssize_t next;
        size_t slot;
    };

    void walk(PyObject* root) {
        if (index_.find(root)) return;
        std::vector<Frame> stack;
        enter(stack, root);
        while (!stack.empty()) {
            poll_.step();
            Frame& top = stack.back();
            if (top.children && top.next < PyList_GET_SIZE(top.children.ptr())) {
                nb::object child = nb::borrow(PyList_GET_ITEM(top.children.ptr(), top.next++));
                if (!is_node(child.ptr())) continue;
                if (size_t* seen = index_.find(child.ptr())) {
                    if (done_[*seen]) merge(found_[top.slot], found_[*seen]);
                    continue;
                }
                enter(stack, child.ptr());
                continue;
            }
            size_t slot = top.slot;
            stack.pop_back();
            done_[slot] = 1;
            if (!stack.empty()) merge(found_[stack.back().slot], found_[slot]);
        }
    }

    void enter(std::vector<Frame>& stack, PyObject* node) {
        size_t slot = found_.size();
        index_.put(node, slot);
        held_.push_back(nb::borrow(node));
        found_.emplace_back();
        done_.push_back(0);
        add_moment(found_[slot], readable_attr(node, interned.starttime).ptr());
        add_moment(found_[slot], readable_attr(node, interned.stoptime).ptr());
        stack.push_back(Frame{nb::borrow(node), children_of(node), 0, slot});
    }

    static void merge(Latest& into, const Latest& from) {
        if (from.naive) keep_later(into.naive, from.naive.ptr());
        if (from.aware) keep_later(into.aware, from.aware.ptr());
    }

    PointerMap<size_t> index_;
    std::vector<nb::object> held_; // keeps every walked node's address its own
    std::vector<Latest> found_;
    std::vector<char> done_;
    SignalPoll poll_;
};

// The moment a node is stopped at: its start when that is no date-time, else the latest
// moment below it of the same kind as its start.
nb::object last_moment(PyObject* node, const Latest& below) {
    nb::object start = attr_or_none(node, interned.starttime);
    if (!PyDateTime_Check(start.ptr())) return start;
    const nb::object& same = is_aware(start.ptr()) ? below.aware : below.naive;
    nb::object latest = start;
    if (same) keep_later(latest, same.ptr());
    return latest;
}

void set_runtime(PyObject* node, PyObject* moment) {
    try {
        nb::object start = attr_or_none(node, interned.starttime);
        nb::object took = check(PyNumber_Subtract(moment, start.ptr()));
        nb::object seconds =
            check(PyObject_CallMethodObjArgs(took.ptr(), interned.total_seconds, nullptr));
        set_attr(node, interned.runtime, seconds.ptr());
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_AttributeError)) throw;
    }
}

// A section's roll_up adds its result to every plain section above it. When its parent is a
// plain section that is aborted next, that parent's result is replaced by Aborted and its own
// roll_up adds it above again; results combine as the worse of two, so adding it once more
// changes nothing. Leaving such climbs out keeps a chain of open sections linear.
bool parent_rolls_up_later(PyObject* node, PointerMap<size_t>& positions, size_t at) {
    if (native_kind(node, Method::RollUp) != NodeKind::Section) return false;
    nb::object parent = parent_of(node);
    const size_t* found = positions.find(parent.ptr());
    if (!found || *found >= at) return false;
    NodeKind kind = native_kind(parent.ptr(), Method::RollUp);
    return kind == NodeKind::Section || kind == NodeKind::Base;
}

void abort_node(PyObject* node, PyObject* moment, PyObject* detail, PyObject* aborted,
                bool roll_up) {
    static PyObject* add_detail = intern("add_detail");
    set_attr(node, interned.stoptime, moment);
    set_runtime(node, moment);
    check(PyObject_CallMethodObjArgs(node, add_detail, detail, nullptr));
    if (is_instance_of_global(node, interned.Section) ||
        is_instance_of_global(node, interned.Plugin))
        set_attr(node, interned.result, aborted);
    if (roll_up) check(PyObject_CallMethodObjArgs(node, interned.roll_up, nullptr));
    if (!is_instance_of_global(node, interned.Task)) return;
    // A Task's stop keeps only the base name of its log file, by the model's own rule; a
    // value that is no path at all stays as it is.
    nb::object logfile = attr_or_none(node, interned.logfile);
    if (!truthy(logfile.ptr())) return;
    try {
        set_attr(node, interned.logfile, base_name(logfile.ptr()).ptr());
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_TypeError)) throw;
    }
}

} // namespace

nb::object abort_open_nodes(PyObject* open, PyObject* detail) {
    if (!PyDateTimeAPI) PyDateTime_IMPORT;
    nb::object results = check(PyImport_ImportModule("korvo.results"));
    nb::object aborted_result = get_attr(results.ptr(), intern("Aborted"));
    nb::object nodes = check(PySequence_List(open));
    Py_ssize_t n = PyList_GET_SIZE(nodes.ptr());

    // Every moment is read before any node is stopped: one walk serves all of them.
    MomentWalk walk;
    std::vector<nb::object> moments;
    moments.reserve(size_t(n));
    PointerMap<size_t> positions;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* node = PyList_GET_ITEM(nodes.ptr(), i);
        if (!is_node(node)) raise(PyExc_TypeError, "only report nodes can be aborted");
        moments.push_back(last_moment(node, walk.of(node)));
        positions.put(node, size_t(i));
    }

    nb::object stopped = check(PyList_New(0));
    for (Py_ssize_t i = n; i-- > 0;) { // made after their parents: children first
        nb::object node = nb::borrow(PyList_GET_ITEM(nodes.ptr(), i));
        try {
            bool roll_up = !parent_rolls_up_later(node.ptr(), positions, size_t(i));
            abort_node(node.ptr(), moments[size_t(i)].ptr(), detail, aborted_result.ptr(), roll_up);
        } catch (nb::python_error& e) {
            if (!is_ordinary_failure(e)) throw;
            nb::object place = readable_attr(node.ptr(), intern("fullid"));
            if (!place) place = check(PyObject_Repr(node.ptr()));
            nb::object failure = exception_object(e);
            PyErr_Format(PyExc_ValueError, "cannot stop node %R as aborted: %s: %S", place.ptr(),
                         Py_TYPE(failure.ptr())->tp_name, failure.ptr());
            throw nb::python_error();
        }
        check_status(PyList_Append(stopped.ptr(), node.ptr()));
    }
    return stopped;
}

} // namespace korvo::campaign::journal
