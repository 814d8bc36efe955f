// Plugin: a harness plugin run at job or task level, with its own counter and default result.
#include "campaign/model/counters.hpp"
#include "campaign/model/log_files.hpp"
#include "campaign/model/interned.hpp"
#include "campaign/model/node.hpp"
#include "common/iteration.hpp"

namespace korvo::campaign {

namespace {

nb::object parent_of(PyObject* self) {
    return attr_or_none(self, interned._parent);
}

} // namespace

void init_plugin(PyObject* self) {
    set_attr(self, interned.sections, check(PyList_New(0)).ptr());
    set_attr(self, interned.result, Py_None);
    set_attr(self, interned.summary, Py_None);
    set_attr(self, interned.logs, check(PyDict_New()).ptr());
}

void plugin_start(PyObject* self, PyObject* kwargs) {
    base_start(self, kwargs);
    nb::object parent = parent_of(self);
    if (is_instance_of_global(parent.ptr(), interned.Campaign))
        set_attr(self, interned.summary, new_counter().ptr());
    nb::object logfile = attr_or_none(self, interned.logfile);
    if (!truthy(logfile.ptr()) || !is_instance_of_global(parent.ptr(), interned.Task)) return;
    mark_log_begin(get_attr(self, interned.logs).ptr(), logfile.ptr());
}

void plugin_stop(PyObject* self, PyObject* kwargs) {
    PyObject* given = PyDict_GetItemWithError(kwargs, interned.logfile);
    if (!given && PyErr_Occurred()) throw nb::python_error();
    nb::object new_logfile = given ? nb::borrow(given) : nb::none();
    if (given) check_status(PyDict_DelItem(kwargs, interned.logfile));

    base_stop(self, kwargs);

    nb::object logfile = attr_or_none(self, interned.logfile);
    if (truthy(logfile.ptr())) {
        nb::object logs = get_attr(self, interned.logs);
        bool moved = false;
        if (truthy(new_logfile.ptr())) {
            int differs = PyObject_RichCompareBool(new_logfile.ptr(), logfile.ptr(), Py_NE);
            check_status(differs);
            moved = differs != 0;
        }
        if (moved) {
            nb::object short_name = base_name(new_logfile.ptr());
            if (truthy(logs.ptr())) {
                nb::object reset = check(PyDict_New());
                check_status(PyDict_SetItem(reset.ptr(), interned.file, short_name.ptr()));
                check_status(
                    PyDict_SetItem(reset.ptr(), interned.begin, check(PyLong_FromLong(0)).ptr()));
                check_status(
                    PyDict_SetItem(reset.ptr(), interned.size, check(PyLong_FromLong(-1)).ptr()));
                set_attr(self, interned.logs, reset.ptr());
            }
            set_attr(self, interned.logfile, short_name.ptr());
        } else if (truthy(logs.ptr())) {
            mark_log_size(logs.ptr(), logfile.ptr());
            set_attr(self, interned.logfile, base_name(logfile.ptr()).ptr());
        }
    }
    if (attr_or_none(self, interned.result).is_none())
        set_attr(self, interned.result, module_global(interned.Passed).ptr());
}

void plugin_roll_up(PyObject* self) {
    nb::object sections = get_attr(self, interned.sections);
    if (truthy(sections.ptr())) set_attr(self, interned.summary, new_counter().ptr());
    nb::object collected = check(PyList_New(0));
    for_each_item(sections.ptr(), [&](PyObject* child) {
        nb::object result = get_attr(child, interned.result);
        if (!result.is_none()) check_status(PyList_Append(collected.ptr(), result.ptr()));
    });
    if (PyList_GET_SIZE(collected.ptr()) == 0) return;
    nb::object summary = get_attr(self, interned.summary);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(collected.ptr()); ++i)
        count_result(summary.ptr(), PyList_GET_ITEM(collected.ptr(), i));
}

} // namespace korvo::campaign
