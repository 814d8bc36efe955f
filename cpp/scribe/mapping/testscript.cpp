// One task (or job-level plugin) onto a legacy test script, its top-level sections
// dispatched to the common-section and test-case handlers.
#include "scribe/xml/escape.hpp"
#include "scribe/mapping/handlers.hpp"
#include "scribe/mapping/rules.hpp"
#include "scribe/runtime/py_calls.hpp"
#include "scribe/runtime/scribe_state.hpp"

namespace korvo::scribe {

namespace {

// Name and directory of a script path, split at its last "/" the way the path
// functions of the host split a POSIX path.
void copy_script_path(PyObject* kyts, PyObject* testscript) {
    if (!PyUnicode_Check(testscript)) {
        PyErr_Format(PyExc_TypeError, "testscript must be str, not %.200s",
                     Py_TYPE(testscript)->tp_name);
        throw nb::python_error();
    }
    Py_ssize_t len = PyUnicode_GET_LENGTH(testscript);
    Py_ssize_t slash = PyUnicode_FindChar(testscript, '/', 0, len, -1);
    if (slash == -2) throw nb::python_error();
    nb::object name, path;
    if (slash < 0) {
        name = nb::borrow(testscript);
        path = nb::borrow(sconst.empty_text);
    } else {
        name = check(PyUnicode_Substring(testscript, slash + 1, len));
        // Trailing slashes go, unless the directory part is nothing but slashes.
        Py_ssize_t end = slash + 1;
        while (end > 0 && PyUnicode_READ_CHAR(testscript, end - 1) == '/')
            --end;
        path = check(PyUnicode_Substring(testscript, 0, end == 0 ? slash + 1 : end));
    }
    nb::object script = get_path(kyts, {snames.initinfo, snames.script});
    set_attr(script.ptr(), snames.name, name.ptr());
    set_attr(script.ptr(), snames.path, path.ptr());
}

void add_common_section(PyObject* self, PyObject* kyts, PyObject* sect, PyObject* sectionid) {
    nb::object add = get_attr(kyts, snames.add_testsection);
    nb::object kycommsect = call(add.ptr(), {sectionid}, sconst.kw_sectionid);
    run_handler(self, Handler::CommonSection, kycommsect.ptr(), sect);
}

void add_test_case(PyObject* self, PyObject* kyts, PyObject* sect) {
    nb::object tcid = required(sect, snames.id);
    nb::object logfilepath = nb::borrow(sconst.empty_text);
    nb::object logs = optional(sect, snames.logs);
    if (truthy(logs.ptr())) logfilepath = mapping_get(logs.ptr(), snames.file, sconst.empty_text);
    nb::object add = get_attr(kyts, snames.add_testcase);
    nb::object kytc = call(add.ptr(), {tcid.ptr(), logfilepath.ptr()}, sconst.kw_tcid_logfilepath);
    run_handler(self, Handler::TestCase, kytc.ptr(), sect);
}

} // namespace

nb::object handle_testscript(PyObject* self, PyObject* kyts, PyObject* task) {
    copy_timing(kyts, task);

    nb::object parameters = optional(task, snames.parameters);
    if (truthy(parameters.ptr())) {
        nb::object pargs = escape(text_form(parameters.ptr()).ptr());
        set_attr(get_attr(kyts, snames.initinfo).ptr(), snames.pargs, pargs.ptr());
    }

    nb::object description = escaped_description(task);
    if (description)
        set_attr(get_attr(kyts, snames.initinfo).ptr(), snames.description, description.ptr());

    nb::object logfile = optional(task, snames.logfile);
    if (truthy(logfile.ptr()))
        set_attr(get_path(kyts, {snames.initinfo, snames.logfile}).ptr(), snames.filepath,
                 logfile.ptr());

    nb::object testscript = optional(task, snames.testscript);
    if (truthy(testscript.ptr())) copy_script_path(kyts, testscript.ptr());

    nb::object summary = required(task, snames.summary);
    call_method(get_attr(kyts, snames.summary).ptr(), snames.update, {summary.ptr()});

    copy_details(kyts, required(task, snames.details).ptr());

    nb::object sections = required(task, snames.sections);
    for_each_item(sections.ptr(), [&](PyObject* sect) {
        nb::object type = required(sect, snames.type);
        if (equals(type.ptr(), sconst.common_setup))
            add_common_section(self, kyts, sect, sconst.common_setup_id);
        else if (equals(type.ptr(), sconst.common_cleanup))
            add_common_section(self, kyts, sect, sconst.common_cleanup_id);
        else
            add_test_case(self, kyts, sect);
    });
    return nb::borrow(kyts);
}

} // namespace korvo::scribe
