#include "campaign/merge_trees/merge_trees.hpp"

#include <string>

#include "campaign/merge_trees/node_copy.hpp"
#include "campaign/model/interned.hpp"
#include "campaign/model/module_state.hpp"
#include "campaign/model/node.hpp"
#include "campaign/model/rerun_note.hpp"
#include "common/signal_poll.hpp"

namespace korvo::campaign::merge_trees {

namespace {

// Children are matched by class and id: a plugin and a section of one id are two nodes.
// None when the id cannot be a key (unhashable): such a node is never merged.
nb::object match_key(PyObject* node) {
    nb::object id = attr_or_none(node, interned.id);
    bool plugin = is_instance_of_global(node, interned.Plugin);
    nb::object key = check(PyTuple_Pack(2, plugin ? Py_True : Py_False, id.ptr()));
    if (PyObject_Hash(key.ptr()) == -1) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
        PyErr_Clear();
        return nb::none();
    }
    return key;
}

nb::object earlier_of(PyObject* a, PyObject* b, int op) {
    if (a == Py_None) return nb::borrow(b);
    if (b == Py_None) return nb::borrow(a);
    int pick_b = PyObject_RichCompareBool(b, a, op);
    check_status(pick_b);
    return nb::borrow(pick_b ? b : a);
}

// starttime := the earlier, stoptime := the later of both nodes; runtime follows them.
void widen_times(PyObject* target, PyObject* other) {
    nb::object start = earlier_of(attr_or_none(target, interned.starttime).ptr(),
                                  attr_or_none(other, interned.starttime).ptr(), Py_LT);
    nb::object stop = earlier_of(attr_or_none(target, interned.stoptime).ptr(),
                                 attr_or_none(other, interned.stoptime).ptr(), Py_GT);
    set_attr(target, interned.starttime, start.ptr());
    set_attr(target, interned.stoptime, stop.ptr());
    if (start.is_none() || stop.is_none()) return;
    nb::object delta = check(PyNumber_Subtract(stop.ptr(), start.ptr()));
    set_attr(target, interned.runtime,
             check(PyObject_CallMethodNoArgs(delta.ptr(), interned.total_seconds)).ptr());
}

// The children of `later` into the merged node `target`: an id seen again replaces
// the earlier child where it stood, a new one is appended.
void merge_children(PyObject* target, PyObject* later) {
    nb::object into = child_list(target);
    nb::object from = child_list(later);
    if (!into || !from) return;
    nb::object position = check(PyDict_New()); // match key -> index in `into`
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(into.ptr()); ++i) {
        nb::object child = nb::borrow(PyList_GET_ITEM(into.ptr(), i));
        if (!is_node(child.ptr())) continue;
        nb::object key = match_key(child.ptr());
        if (key.is_none()) continue;
        nb::object index = check(PyLong_FromSsize_t(i));
        check_status(PyDict_SetItem(position.ptr(), key.ptr(), index.ptr()));
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(from.ptr()); ++i) {
        nb::object child = nb::borrow(PyList_GET_ITEM(from.ptr(), i));
        if (!is_node(child.ptr())) {
            check_status(PyList_Append(into.ptr(), child.ptr()));
            continue;
        }
        nb::object copy = copy_subtree(child.ptr(), target);
        nb::object key = match_key(child.ptr());
        PyObject* seen =
            key.is_none() ? nullptr : PyDict_GetItemWithError(position.ptr(), key.ptr());
        if (!seen && PyErr_Occurred()) throw nb::python_error();
        if (!seen) {
            if (!key.is_none()) {
                nb::object index = check(PyLong_FromSsize_t(PyList_GET_SIZE(into.ptr())));
                check_status(PyDict_SetItem(position.ptr(), key.ptr(), index.ptr()));
            }
            check_status(PyList_Append(into.ptr(), copy.ptr()));
            continue;
        }
        Py_ssize_t at = PyLong_AsSsize_t(seen);
        nb::object replaced = nb::borrow(PyList_GET_ITEM(into.ptr(), at));
        nb::object details = get_attr(copy.ptr(), interned.details);
        if (!PyList_Check(details.ptr())) {
            details = check(PyList_New(0));
            set_attr(copy.ptr(), interned.details, details.ptr());
        }
        // the runs the replaced node had replaced stay in the history, oldest first
        nb::object earlier = attr_or_none(replaced.ptr(), interned.details);
        if (PyList_Check(earlier.ptr())) {
            nb::object snapshot = check(PyList_AsTuple(earlier.ptr()));
            nb::object history;
            for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(snapshot.ptr()); ++k) {
                PyObject* line = PyTuple_GET_ITEM(snapshot.ptr(), k);
                if (read_rerun_note(line, history))
                    check_status(PyList_Append(details.ptr(), line));
            }
        }
        check_status(PyList_Append(details.ptr(), rerun_note(replaced.ptr()).ptr()));
        check_status(PyList_SetItem(into.ptr(), at, copy.release().ptr()));
    }
}

// Every counter below the campaign recounted, children first, by the nodes' own roll-ups.
void recount(PyObject* node) {
    RecursionGuard guard(" while recounting a merged tree");
    static thread_local SignalPoll signals;
    signals.step();
    bool section = is_instance_of_global(node, interned.Section);
    nb::object children = child_list(node);
    if (children) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(children.ptr()); ++i) {
            nb::object child = nb::borrow(PyList_GET_ITEM(children.ptr(), i));
            // Sections carry no counters; only tasks and plugins below need a recount.
            if (is_node(child.ptr()) && !is_instance_of_global(child.ptr(), interned.Section))
                recount(child.ptr());
        }
    }
    // A section's roll-up would add its result into its parent's once more.
    if (!section) call_roll_up(node);
}

nb::object provenance(PyObject* campaign, PyObject* source) {
    nb::object entry = check(PyDict_New());
    check_status(
        PyDict_SetItem(entry.ptr(), interned.id, attr_or_none(campaign, interned.id).ptr()));
    nb::object host = nb::steal(intern("host"));
    check_status(PyDict_SetItem(entry.ptr(), host.ptr(), attr_or_none(campaign, host.ptr()).ptr()));
    check_status(PyDict_SetItem(entry.ptr(), interned.starttime,
                                attr_or_none(campaign, interned.starttime).ptr()));
    check_status(PyDict_SetItem(entry.ptr(), interned.file, source));
    return entry;
}

} // namespace

nb::object merge_campaigns(PyObject* campaigns, PyObject* sources, PyObject* new_id) {
    if (!PyList_Check(campaigns) || PyList_GET_SIZE(campaigns) == 0)
        raise(PyExc_TypeError, "merge() needs at least one Campaign tree");
    nb::object inputs = check(PyList_GetSlice(campaigns, 0, PY_SSIZE_T_MAX));
    Py_ssize_t count = PyList_GET_SIZE(inputs.ptr());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* c = PyList_GET_ITEM(inputs.ptr(), i);
        if (!is_node(c) || !is_instance_of_global(c, interned.Campaign)) {
            PyErr_Format(PyExc_TypeError, "merge() takes Campaign trees, not %.200s",
                         Py_TYPE(c)->tp_name);
            throw nb::python_error();
        }
    }
    PyObject* first = PyList_GET_ITEM(inputs.ptr(), 0);
    nb::object merged = copy_node(first, Py_None);
    nb::object tasks = child_list(merged.ptr());
    if (!tasks) raise(PyExc_TypeError, "the first Campaign has no list of tasks");

    nb::object merged_from = check(PyList_New(0));
    nb::object by_key = check(PyDict_New()); // match key -> merged entry
    nb::object announced = check(PyLong_FromLong(0));
    long merged_again = 0;
    nb::object merged_from_key = nb::steal(intern("merged_from"));
    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::object campaign = nb::borrow(PyList_GET_ITEM(inputs.ptr(), i));
        PyObject* source = PyList_Check(sources) && i < PyList_GET_SIZE(sources)
                               ? PyList_GET_ITEM(sources, i)
                               : Py_None;
        nb::object source_ref = nb::borrow(source);
        // An input that is itself a merge contributes its own inputs.
        nb::object extra = attr_or_none(campaign.ptr(), interned.extra);
        PyObject* earlier = PyDict_Check(extra.ptr())
                                ? PyDict_GetItemWithError(extra.ptr(), merged_from_key.ptr())
                                : nullptr;
        if (!earlier && PyErr_Occurred()) throw nb::python_error();
        if (earlier && PyList_Check(earlier)) {
            nb::object held = nb::borrow(earlier);
            Py_ssize_t end = PyList_GET_SIZE(merged_from.ptr());
            check_status(PyList_SetSlice(merged_from.ptr(), end, end, held.ptr()));
        } else {
            check_status(PyList_Append(merged_from.ptr(),
                                       provenance(campaign.ptr(), source_ref.ptr()).ptr()));
        }
        nb::object total = attr_or_none(campaign.ptr(), interned.totaltasks);
        if (PyLong_CheckExact(total.ptr()))
            announced = check(PyNumber_Add(announced.ptr(), total.ptr()));
        if (i > 0) widen_times(merged.ptr(), campaign.ptr());

        nb::object entries = child_list(campaign.ptr());
        if (!entries) continue;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(entries.ptr()); ++j) {
            nb::object entry = nb::borrow(PyList_GET_ITEM(entries.ptr(), j));
            if (!is_node(entry.ptr())) {
                check_status(PyList_Append(tasks.ptr(), entry.ptr()));
                continue;
            }
            nb::object key = match_key(entry.ptr());
            PyObject* seen =
                key.is_none() ? nullptr : PyDict_GetItemWithError(by_key.ptr(), key.ptr());
            if (!seen && PyErr_Occurred()) throw nb::python_error();
            if (seen) {
                nb::object target = nb::borrow(seen);
                merge_children(target.ptr(), entry.ptr());
                widen_times(target.ptr(), entry.ptr());
                if (!is_instance_of_global(entry.ptr(), interned.Plugin)) ++merged_again;
                continue;
            }
            nb::object copy = copy_subtree(entry.ptr(), merged.ptr());
            if (!key.is_none()) check_status(PyDict_SetItem(by_key.ptr(), key.ptr(), copy.ptr()));
            check_status(PyList_Append(tasks.ptr(), copy.ptr()));
        }
    }

    if (new_id != Py_None) {
        set_attr(merged.ptr(), interned.id, new_id);
        set_attr(merged.ptr(), interned.name, new_id);
    }
    nb::object extra = get_attr(merged.ptr(), interned.extra);
    check_status(PyObject_SetItem(extra.ptr(), merged_from_key.ptr(), merged_from.ptr()));

    recount(merged.ptr());
    // A task that ran in two inputs was announced by both.
    nb::object again = check(PyLong_FromLong(merged_again));
    nb::object total = check(PyNumber_Subtract(announced.ptr(), again.ptr()));
    set_attr(merged.ptr(), interned.totaltasks, total.ptr());
    weigh_task_counter(merged.ptr(), total.ptr());
    return merged;
}

} // namespace korvo::campaign::merge_trees
