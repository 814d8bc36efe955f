// Campaign: the root; sums its children's counters and weights the task counter.
#include "campaign/model/counters.hpp"
#include "campaign/model/interned.hpp"
#include "campaign/model/node.hpp"
#include "common/iteration.hpp"

namespace korvo::campaign {

void init_campaign(PyObject* self) {
    reset_counters(self);
    nb::object zero = check(PyLong_FromLong(0));
    set_attr(self, interned.totaltasks, zero.ptr());
    set_attr(self, interned.tasks, check(PyList_New(0)).ptr());
}

void campaign_stop(PyObject* self, PyObject* kwargs) {
    PyObject* announced_raw = PyDict_GetItemWithError(kwargs, interned.num_tasks);
    if (!announced_raw && PyErr_Occurred()) throw nb::python_error();
    nb::object announced = announced_raw ? nb::borrow(announced_raw) : check(PyLong_FromLong(0));
    if (announced_raw) check_status(PyDict_DelItem(kwargs, interned.num_tasks));

    base_stop(self, kwargs);
    set_attr(self, interned.totaltasks, announced.ptr());

    nb::object zero = check(PyLong_FromLong(0));
    int positive = PyObject_RichCompareBool(announced.ptr(), zero.ptr(), Py_GT);
    check_status(positive);
    if (!positive) return;

    nb::object tasks = get_attr(self, interned.tasks);
    long run = 0;
    for_each_item(tasks.ptr(), [&](PyObject* entry) {
        if (!is_instance_of_global(entry, interned.Plugin) &&
            !attr_or_none(entry, interned.starttime).is_none())
            ++run;
    });
    nb::object ran = check(PyLong_FromLong(run));
    nb::object share = check(PyNumber_TrueDivide(ran.ptr(), announced.ptr()));
    set_attr(get_attr(self, interned.summary).ptr(), interned.weight, share.ptr());
}

void campaign_roll_up(PyObject* self) {
    RollUpCounters counters = reset_counters(self);
    nb::object tasks = get_attr(self, interned.tasks);
    for_each_item(tasks.ptr(), [&](PyObject* entry) {
        bool plugin = is_instance_of_global(entry, interned.Plugin);
        nb::object counter = get_attr(entry, interned.summary);
        // A plugin that never started or had sections has no counter: it adds nothing.
        if (plugin && counter.is_none()) return;
        add_counts(plugin ? counters.pluginsummary.ptr() : counters.summary.ptr(), counter.ptr());
    });
}

} // namespace korvo::campaign
