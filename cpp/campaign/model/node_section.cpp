// Section: a unit of work inside a script, with its place in the log file.
#include "campaign/model/log_files.hpp"
#include "campaign/model/interned.hpp"
#include "campaign/model/node.hpp"

namespace korvo::campaign {

void init_section(PyObject* self) {
    set_attr(self, interned.result, Py_None);
    set_attr(self, interned.sections, check(PyList_New(0)).ptr());
    set_attr(self, interned.logfile, Py_None);
    set_attr(self, interned.logs, check(PyDict_New()).ptr());
}

void section_start(PyObject* self, PyObject* kwargs) {
    PyObject* given = PyDict_GetItemWithError(kwargs, interned.logfile);
    if (!given && PyErr_Occurred()) throw nb::python_error();
    nb::object logfile = given ? nb::borrow(given) : nb::none();
    if (given) check_status(PyDict_DelItem(kwargs, interned.logfile));
    set_attr(self, interned.logfile, logfile.ptr());

    base_start(self, kwargs);

    if (!truthy(logfile.ptr())) return;
    mark_log_begin(get_attr(self, interned.logs).ptr(), logfile.ptr());
}

void section_stop(PyObject* self, PyObject* kwargs) {
    base_stop(self, kwargs);
    nb::object logfile = attr_or_none(self, interned.logfile);
    if (!truthy(logfile.ptr())) return;
    nb::object logs = get_attr(self, interned.logs);
    if (!truthy(logs.ptr())) return;
    mark_log_size(logs.ptr(), logfile.ptr());
}

} // namespace korvo::campaign
