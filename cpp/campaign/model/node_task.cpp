// Task: one test script run; counts its direct children and shortens its log path.
#include "campaign/model/counters.hpp"
#include "campaign/model/log_files.hpp"
#include "campaign/model/interned.hpp"
#include "campaign/model/node.hpp"
#include "common/iteration.hpp"

namespace korvo::campaign {

void init_task(PyObject* self) {
    set_attr(self, interned.logfile, Py_None);
    reset_counters(self);
    set_attr(self, interned.sections, check(PyList_New(0)).ptr());
}

void task_stop(PyObject* self, PyObject* kwargs) {
    base_stop(self, kwargs);
    nb::object logfile = attr_or_none(self, interned.logfile);
    if (truthy(logfile.ptr())) set_attr(self, interned.logfile, base_name(logfile.ptr()).ptr());
}

void task_roll_up(PyObject* self) {
    RollUpCounters counters = reset_counters(self);
    nb::object sections = get_attr(self, interned.sections);
    for_each_item(sections.ptr(), [&](PyObject* child) {
        if (is_instance_of_global(child, interned.Plugin)) {
            nb::object counter = get_attr(child, interned.summary);
            // A plugin without a counter (no sections, never given one) adds nothing.
            if (!counter.is_none()) add_counts(counters.pluginsummary.ptr(), counter.ptr());
            return;
        }
        nb::object result = get_attr(child, interned.result);
        if (!result.is_none()) count_result(counters.summary.ptr(), result.ptr());
    });
}

} // namespace korvo::campaign
